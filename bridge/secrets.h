// Secret store and agents directory.
//
// The browser and vorn-mcp meet in the profile's `vorn-agents` directory:
// the browser keeps port.json and its live-*.lock files there, and the bridge
// keeps one private credentials file per account (profile path + client
// name), named after a digest of the account text so that several bridges
// sharing one profile never write each other's pairing.
//
// Not thread-safe by contract: the store runs on the relay loop's thread; the
// file system itself keeps concurrent processes' views whole (exclusive
// temporary name + rename).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "frame/error.h"
#include "frame/json.h"

namespace vorn {

// The pairing the browser issued to one agent; the bridge only stores it.
struct Credentials {
  std::string agent_id;
  std::string secret;

  bool operator==(const Credentials&) const = default;
};

// <profile>/vorn-agents, with exactly one separator.
std::filesystem::path agents_dir(const std::filesystem::path& profile);

// The most the bridge reads of a file that others can put in the agents
// directory (port.json, a credentials file). Each holds a few hundred bytes;
// a larger or endless file is read no further and counts as unusable.
inline constexpr std::size_t kAgentsFileLimit = 64 * 1024;

// First 16 bytes of SHA-256 over the text's bytes, as 32 lowercase hex digits.
std::string short_digest(std::string_view text);

class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // The stored pair for `key`, or none; never fails otherwise.
  virtual std::optional<Credentials> load(std::string_view key) = 0;
  // Stores the pair whole or not at all.
  [[nodiscard]] virtual Status save(std::string_view key, const Credentials& credentials) = 0;
  // Forgets the pair; every outcome is ignored.
  virtual void remove(std::string_view key) = 0;
};

// The store over one directory; keeps no cache and no open descriptors.
class DirSecretStore final : public SecretStore {
 public:
  explicit DirSecretStore(std::filesystem::path dir) : dir_(std::move(dir)) {}

  std::optional<Credentials> load(std::string_view key) override;
  [[nodiscard]] Status save(std::string_view key, const Credentials& credentials) override;
  void remove(std::string_view key) override;

  // dir/secret-<short_digest(key)>.json
  std::filesystem::path secret_path(std::string_view key) const;
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

// The compact file content: {"agent_id":...,"secret":...}.
std::string encode_credentials(const Credentials& credentials);

// From a JSON value: an object with string members "agent_id" and "secret"
// (others ignored) or an array of exactly those two strings.
[[nodiscard]] Result<Credentials> decode_credentials(Json value);
// The same from file text, which must hold exactly one value; a member named
// twice is refused.
[[nodiscard]] Result<Credentials> decode_credentials_text(std::string_view text);

// Removes the live-*.lock files of `dir` that no process holds a flock on.
// Silent: a failure leaves the file where it is.
void sweep_stale_locks(const std::filesystem::path& dir);

}  // namespace vorn
