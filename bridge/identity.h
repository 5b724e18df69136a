// Who this bridge is: the client it serves, the account text that keys its
// pairing credentials, and the identity record it shows the browser in each
// hello.
//
// Thread-safety: pure functions, except `build_identity`, which changes the
// session state and belongs to the relay loop's thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "bridge/mcp.h"
#include "frame/utf8.h"

namespace vorn {

struct BridgeState;

// This build, as `--version` prints it and the browser sees it.
inline constexpr std::string_view BUILD_STAMP = "20261106100303";

// Most bytes the working directory may take inside the identity's JSON.
inline constexpr std::size_t kIdentityDirLimit = 1024;

// The compact JSON array [profile path as text, client name].
std::string account_text(const std::filesystem::path& profile, std::string_view client);

// The working directory as text, cut from the front (behind a U+2026) so
// that it takes at most kIdentityDirLimit bytes inside a JSON string.
std::string identity_dir_text(const std::filesystem::path& cwd);

// The first 16 hex digits of the account text's SHA-256 digest.
std::string identity_id(std::string_view account);

// The record the browser sees under `launch` in each hello.
struct BridgeIdentity {
  std::string dir;
  std::string id;
  std::uint64_t started = 0;

  BridgeIdentity(const std::filesystem::path& cwd, std::string_view account,
                 std::uint64_t started);
  // {"build", "dir", "id", "started"}
  Json to_json() const;
};

// Sets the state's `account`, `identity` and `client` from the profile, the
// session parameters and `client`, replacing earlier values.
void build_identity(BridgeState& state, std::string client);

}  // namespace vorn
