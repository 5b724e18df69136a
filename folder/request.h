// One request of the folder service: its validated shape, the readers that
// check each parameter, and handle_request, which turns any received value
// into exactly one answer object.
//
// Validation borrows: every text in a Request points into the JSON value it
// was read from, which must outlive it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "folder/context.h"
#include "frame/json.h"

namespace vorn::folder {

// Per-file byte limit of a listing when the request names none (32 MiB).
inline constexpr std::uint64_t DEFAULT_MAX_BYTES = 33'554'432;
// Most elements of "dirs", "files" and "payloads".
inline constexpr std::size_t LIST_LIMIT = 64;

// One directory to read.
struct DirSpec {
  std::string_view path;  // relative path
  std::optional<std::string_view> suffix;
  std::optional<std::string_view> mine;
  std::uint64_t max_bytes = DEFAULT_MAX_BYTES;  // 1 to DEFAULT_MAX_BYTES
};

// The ten operations, each with its parameters. The variant's index is the
// operation's internal number.
struct ReadDirOp {
  DirSpec spec;
};
struct ReadDirsOp {
  std::vector<DirSpec> dirs;  // 0 to 64
};
struct WriteOp {
  std::string_view path;
};
struct WriteFilesOp {
  std::vector<std::string_view> files;  // 0 to 64 relative paths
};
struct MoveOp {
  std::string_view from;
  std::string_view to;
};
struct RemoveOp {
  std::string_view path;
};
struct ExistsOp {
  std::string_view path;
};
struct RemoveDirOp {
  std::string_view path;
};
struct ListNamesOp {
  std::string_view path;
  std::optional<std::string_view> holding;  // one name, no '/'
};
struct MakeDirOp {
  std::string_view path;
};

using Op = std::variant<ReadDirOp, ReadDirsOp, WriteOp, WriteFilesOp, MoveOp, RemoveOp,
                        ExistsOp, RemoveDirOp, ListNamesOp, MakeDirOp>;

// A request that passed validation.
struct Request {
  Op op;
  std::vector<std::string_view> payloads;  // payload file names; write/writeFiles only
  std::string_view id;                     // 1 to 64 bytes of [-0-9A-Za-z]
  std::string_view root;                   // absolute, used unchanged
  std::optional<std::string_view> require_top;
};

// Payload file contents, one per name of Request::payloads, in that order.
using PayloadList = std::vector<std::string>;

// What the executor gives back: an answer object, or a web error name.
using OpResult = std::expected<Json, std::string_view>;

// Turns any received value into one answer object carrying "id". Never fails.
[[nodiscard]] Json handle_request(const ServeContext& context, const Json& request);

// {"reachable": false, "reason": reason} plus "error" when given.
[[nodiscard]] Json make_refusal(std::string_view reason,
                                std::optional<std::string_view> error = std::nullopt);

// Validates a whole request value; no value means the InvalidRequest refusal.
[[nodiscard]] std::optional<Request> validate_request(const Json& request);

// The id echoed in every answer: the request's "id" when it is well formed,
// otherwise null.
[[nodiscard]] Json echo_id(const Json& request);

// Parameter readers: each gives no value when its rule is broken.
[[nodiscard]] std::optional<std::string_view> get_rel_path(const Json& request,
                                                           std::string_view key);
[[nodiscard]] bool contains_slash(std::string_view text);
// Outer optional: valid or not; inner: the holding name when one is given.
[[nodiscard]] std::optional<std::optional<std::string_view>> parse_holding(const Json& request);
[[nodiscard]] std::optional<DirSpec> parse_dir_spec(const Json& object);
[[nodiscard]] std::optional<std::vector<DirSpec>> parse_dirs(const Json& request);
[[nodiscard]] std::optional<std::vector<std::string_view>> parse_files(const Json& request);
[[nodiscard]] std::optional<std::vector<std::string_view>> parse_payloads(const Json& request);
[[nodiscard]] bool is_payload_name(const Json& value);

}  // namespace vorn::folder
