#include "bridge/identity.h"

#include <array>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/secrets.h"

namespace vorn {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";     // U+2026

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bytes one character takes inside a JSON string as the
// writer escapes it.
std::size_t json_string_width(std::string_view character) {
  if (character.size() > 1) return character.size();
  switch (character[0]) {
    case '"':
    case '\\':
    case '\b':
    case '\t':
    case '\n':
    case '\f':
    case '\r':
      return 2;
    default:
      return static_cast<unsigned char>(character[0]) < 0x20 ? 6 : 1;
  }
}

}  // namespace

std::string account_text(const std::filesystem::path& profile, std::string_view client) {
  Json account = Json::array({lossy_utf8(profile.native()), client});
  return write_json(account);
}

std::string identity_dir_text(const std::filesystem::path& cwd) {
  const std::string text = lossy_utf8(cwd.native());
  std::size_t sum = 0;
  std::size_t keep_from = text.size();
  while (keep_from > 0) {
    std::size_t start = keep_from - 1;
    while (start > 0 && is_continuation(static_cast<unsigned char>(text[start]))) --start;
    const std::size_t width =
        json_string_width(std::string_view(text).substr(start, keep_from - start));
    if (sum + width > kIdentityDirLimit) {
      std::string cut(kEllipsis);
      cut.append(text, keep_from);
      return cut;
    }
    sum += width;
    keep_from = start;
  }
  return text;
}

std::string identity_id(std::string_view account) { return short_digest(account).substr(0, 16); }

BridgeIdentity::BridgeIdentity(const std::filesystem::path& cwd, std::string_view account,
                               std::uint64_t started)
    : dir(identity_dir_text(cwd)), id(identity_id(account)), started(started) {}

Json BridgeIdentity::to_json() const {
  Json identity = Json::object();
  identity["build"] = BUILD_STAMP;
  identity["dir"] = dir;
  identity["id"] = id;
  identity["started"] = started;
  return identity;
}

void build_identity(BridgeState& state, std::string client) {
  std::string account = account_text(state.profile_dir, client);
  state.identity = BridgeIdentity(state.params.cwd, account, state.params.started).to_json();
  state.account = std::move(account);
  state.client = std::move(client);
}

}  // namespace vorn
