#include "folder/request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <expected>
#include <type_traits>

#include "folder/ops.h"
#include "folder/paths.h"
#include "frame/unique_fd.h"

namespace vorn::folder {
namespace {

constexpr std::size_t ID_MAX = 64;
constexpr std::string_view PAYLOAD_PREFIX = "payload-";
constexpr std::string_view PAYLOAD_SUFFIX = ".bin";
constexpr std::size_t PAYLOAD_TOKEN_MAX = 100;
// A write refuses any payload longer than this; reading one byte more is
// enough to tell, so a huge payload file cannot exhaust memory.
constexpr std::size_t PAYLOAD_READ_LIMIT = DEFAULT_MAX_BYTES + 1;

// The op names, in the order of the Op variant.
constexpr std::string_view OP_NAMES[] = {"readDir", "readDirs",  "write",  "writeFiles",
                                         "move",    "remove",    "exists", "removeDir",
                                         "listNames", "makeDir"};
static_assert(std::size(OP_NAMES) == std::variant_size_v<Op>);

bool is_token_byte(char c) {
  return c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool all_token_bytes(std::string_view text) {
  for (char c : text)
    if (!is_token_byte(c)) return false;
  return true;
}

// The member `key` of an object; null when absent or when `value` is no object.
const Json* member(const Json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

// The text of a string value, borrowed from it.
std::string_view text_of(const Json& value) { return value.get_ref<const std::string&>(); }

// An optional text member: absent or null gives none, a string its text,
// anything else is invalid (outer nullopt).
std::optional<std::optional<std::string_view>> optional_text(const Json& object,
                                                             std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || value->is_null()) return std::optional<std::string_view>{};
  if (!value->is_string()) return std::nullopt;
  return std::optional<std::string_view>{text_of(*value)};
}

// An array member of at most LIST_LIMIT elements, else null.
const Json* capped_array(const Json& request, std::string_view key) {
  const Json* value = member(request, key);
  if (value == nullptr || !value->is_array() || value->size() > LIST_LIMIT) return nullptr;
  return value;
}

std::optional<std::uint64_t> parse_max_bytes(const Json& object) {
  const Json* value = member(object, "maxBytes");
  if (value == nullptr || value->is_null()) return DEFAULT_MAX_BYTES;
  if (!value->is_number()) return std::nullopt;
  double x = value->get<double>();
  if (x != std::trunc(x) || !(x > 0) || x > static_cast<double>(DEFAULT_MAX_BYTES))
    return std::nullopt;
  return static_cast<std::uint64_t>(x);
}

// Reads every element with `read`; the first that fails spoils the list.
template <typename T, typename Read>
std::optional<std::vector<T>> collect(const Json& array, Read read) {
  std::vector<T> items;
  items.reserve(array.size());
  for (const Json& element : array) {
    std::optional<T> item = read(element);
    if (!item) return std::nullopt;
    items.push_back(*item);
  }
  return items;
}

std::optional<std::vector<DirSpec>> collect_dir_specs(const Json& array) {
  return collect<DirSpec>(array, [](const Json& element) { return parse_dir_spec(element); });
}

std::optional<std::vector<std::string_view>> collect_file_paths(const Json& array) {
  return collect<std::string_view>(
      array, [](const Json& element) { return get_rel_path(element, "path"); });
}

std::optional<std::vector<std::string_view>> collect_payload_names(const Json& array) {
  return collect<std::string_view>(array, [](const Json& element) -> std::optional<std::string_view> {
    if (!is_payload_name(element)) return std::nullopt;
    return text_of(element);
  });
}

std::optional<std::string_view> parse_root(const Json& request) {
  const Json* value = member(request, "root");
  if (value == nullptr || !value->is_string()) return std::nullopt;
  std::string_view root = text_of(*value);
  if (root.empty() || root[0] != '/' || root.find('\0') != std::string_view::npos)
    return std::nullopt;
  return root;
}

// Outer nullopt: invalid; inner: the top entry to require, when given.
std::optional<std::optional<std::string_view>> parse_require_top(const Json& request) {
  const Json* value = member(request, "requireTop");
  if (value == nullptr) return std::nullopt;
  if (value->is_null()) return std::optional<std::string_view>{};
  if (!value->is_string() || !is_safe_relative_path(text_of(*value))) return std::nullopt;
  return std::optional<std::string_view>{text_of(*value)};
}

std::optional<std::size_t> parse_op_index(const Json& request) {
  const Json* value = member(request, "op");
  if (value == nullptr || !value->is_string()) return std::nullopt;
  std::string_view name = text_of(*value);
  for (std::size_t i = 0; i < std::size(OP_NAMES); ++i)
    if (OP_NAMES[i] == name) return i;
  return std::nullopt;
}

// The op's parameters, read by the rules of its kind.
std::optional<Op> parse_op(std::size_t index, const Json& request) {
  auto path_op = [&]<typename T>(std::type_identity<T>) -> std::optional<Op> {
    std::optional<std::string_view> path = get_rel_path(request, "path");
    if (!path) return std::nullopt;
    return Op{T{*path}};
  };
  switch (index) {
    case 0: {
      std::optional<DirSpec> spec = parse_dir_spec(request);
      if (!spec) return std::nullopt;
      return Op{ReadDirOp{*spec}};
    }
    case 1: {
      auto dirs = parse_dirs(request);
      if (!dirs) return std::nullopt;
      return Op{ReadDirsOp{std::move(*dirs)}};
    }
    case 2: return path_op(std::type_identity<WriteOp>{});
    case 3: {
      auto files = parse_files(request);
      if (!files) return std::nullopt;
      return Op{WriteFilesOp{std::move(*files)}};
    }
    case 4: {
      std::optional<std::string_view> from = get_rel_path(request, "from");
      std::optional<std::string_view> to = get_rel_path(request, "to");
      if (!from || !to) return std::nullopt;
      return Op{MoveOp{*from, *to}};
    }
    case 5: return path_op(std::type_identity<RemoveOp>{});
    case 6: return path_op(std::type_identity<ExistsOp>{});
    case 7: return path_op(std::type_identity<RemoveDirOp>{});
    case 8: {
      auto holding = parse_holding(request);
      if (!holding) return std::nullopt;
      if (*holding && (!is_safe_relative_path(**holding) || contains_slash(**holding)))
        return std::nullopt;
      std::optional<std::string_view> path = get_rel_path(request, "path");
      if (!path) return std::nullopt;
      return Op{ListNamesOp{*path, *holding}};
    }
    case 9: return path_op(std::type_identity<MakeDirOp>{});
  }
  return std::nullopt;
}

// Reads one whole payload file, but never more than PAYLOAD_READ_LIMIT bytes;
// a failure gives the error's web name. The buffer is sized from the file's
// status plus one byte, so a file that stays as it is is read into one
// allocation and the end is seen at once.
std::expected<std::string, std::string_view> read_payload(const std::string& path) {
  // Non-blocking, so a FIFO in the payload's place cannot hold the open; only
  // a regular file is read, so neither a FIFO nor a link to the service's own
  // request stream (/proc/self/fd/0) is read from. Regular files ignore the
  // flag.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::unexpected(dom_error_name(Error::from_errno(errno)));
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return std::unexpected(dom_error_name(Error::from_errno(errno)));
  // The name a directory has always been given (through EISDIR).
  if (!S_ISREG(st.st_mode)) return std::unexpected("InvalidAccessError");
  const auto size = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
  std::size_t want = std::min(size, PAYLOAD_READ_LIMIT - 1) + 1;
  std::string bytes;
  bool at_end = false;
  int read_errno = 0;
  while (!at_end && read_errno == 0 && bytes.size() < PAYLOAD_READ_LIMIT) {
    std::size_t old = bytes.size();
    std::size_t target = std::min(std::max(want, old + 1), PAYLOAD_READ_LIMIT);
    bytes.resize_and_overwrite(target, [&](char* data, std::size_t size) {
      std::size_t filled = old;
      while (filled < size) {
        ssize_t got = read(fd.get(), data + filled, size - filled);
        if (got < 0) {
          if (errno == EINTR) continue;
          read_errno = errno;
          break;
        }
        if (got == 0) {
          at_end = true;
          break;
        }
        filled += static_cast<std::size_t>(got);
      }
      return filled;
    });
    want = target * 2;  // the file grew past its status: double
  }
  if (read_errno != 0) return std::unexpected(dom_error_name(Error::from_errno(read_errno)));
  return bytes;
}

std::string join(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

// Everything after validation: payloads, root, then the operation.
Json answer_valid(const ServeContext& context, const Request& request) {
  PayloadList payloads;
  payloads.reserve(request.payloads.size());
  for (std::string_view name : request.payloads) {
    auto bytes = read_payload(join(context.request_dir, name));
    if (!bytes) return make_refusal("io-error", bytes.error());
    payloads.push_back(std::move(*bytes));
  }

  // The root is opened once (following a link: the root itself may be one);
  // everything below it is then reached from this descriptor.
  std::string root(request.root);
  UniqueFd root_fd(open(root.c_str(), O_PATH | O_CLOEXEC));
  struct stat st;
  if (!root_fd || fstat(root_fd.get(), &st) != 0) {
    Error error = Error::from_errno(errno);
    std::string_view name = dom_error_name(error);
    if (name == "NotFoundError") return make_refusal("missing", name);
    return make_refusal("io-error", name);
  }
  if (!S_ISDIR(st.st_mode)) return make_refusal("not-a-directory");

  OpResult result = execute_op(context, request, root_fd.get(), payloads);
  if (!result) return make_refusal("io-error", result.error());
  return std::move(*result);
}

}  // namespace

Json make_refusal(std::string_view reason, std::optional<std::string_view> error) {
  Json refusal = Json::object();
  refusal["reachable"] = false;
  refusal["reason"] = std::string(reason);
  if (error) refusal["error"] = std::string(*error);
  return refusal;
}

Json echo_id(const Json& request) {
  const Json* id = member(request, "id");
  if (id == nullptr || !id->is_string()) return nullptr;
  std::string_view text = text_of(*id);
  if (text.empty() || text.size() > ID_MAX || !all_token_bytes(text)) return nullptr;
  return *id;
}

bool contains_slash(std::string_view text) { return text.find('/') != std::string_view::npos; }

std::optional<std::string_view> get_rel_path(const Json& request, std::string_view key) {
  const Json* value = member(request, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  std::string_view path = text_of(*value);
  if (!is_safe_relative_path(path)) return std::nullopt;
  return path;
}

std::optional<std::optional<std::string_view>> parse_holding(const Json& request) {
  return optional_text(request, "holding");
}

std::optional<DirSpec> parse_dir_spec(const Json& object) {
  DirSpec spec;
  std::optional<std::string_view> path = get_rel_path(object, "path");
  if (!path) return std::nullopt;
  spec.path = *path;
  auto suffix = optional_text(object, "suffix");
  auto mine = optional_text(object, "mine");
  auto max_bytes = parse_max_bytes(object);
  if (!suffix || !mine || !max_bytes) return std::nullopt;
  spec.suffix = *suffix;
  spec.mine = *mine;
  spec.max_bytes = *max_bytes;
  return spec;
}

std::optional<std::vector<DirSpec>> parse_dirs(const Json& request) {
  const Json* array = capped_array(request, "dirs");
  if (array == nullptr) return std::nullopt;
  return collect_dir_specs(*array);
}

std::optional<std::vector<std::string_view>> parse_files(const Json& request) {
  const Json* array = capped_array(request, "files");
  if (array == nullptr) return std::nullopt;
  return collect_file_paths(*array);
}

std::optional<std::vector<std::string_view>> parse_payloads(const Json& request) {
  const Json* array = capped_array(request, "payloads");
  if (array == nullptr) return std::nullopt;
  return collect_payload_names(*array);
}

bool is_payload_name(const Json& value) {
  if (!value.is_string()) return false;
  std::string_view name = text_of(value);
  if (!name.starts_with(PAYLOAD_PREFIX) || !name.ends_with(PAYLOAD_SUFFIX)) return false;
  if (name.size() < PAYLOAD_PREFIX.size() + PAYLOAD_SUFFIX.size() + 1) return false;
  std::string_view token =
      name.substr(PAYLOAD_PREFIX.size(), name.size() - PAYLOAD_PREFIX.size() - PAYLOAD_SUFFIX.size());
  return token.size() <= PAYLOAD_TOKEN_MAX && all_token_bytes(token);
}

std::optional<Request> validate_request(const Json& value) {
  Json id = echo_id(value);
  if (id.is_null()) return std::nullopt;
  std::optional<std::string_view> root = parse_root(value);
  if (!root) return std::nullopt;
  auto require_top = parse_require_top(value);
  if (!require_top) return std::nullopt;
  std::optional<std::size_t> index = parse_op_index(value);
  if (!index) return std::nullopt;
  std::optional<Op> op = parse_op(*index, value);
  if (!op) return std::nullopt;

  Request request{std::move(*op), {}, text_of(value.at("id")), *root, *require_top};
  std::size_t wanted = 0;
  if (auto* write = std::get_if<WriteOp>(&request.op)) {
    (void)write;
    wanted = 1;
  } else if (auto* files = std::get_if<WriteFilesOp>(&request.op)) {
    wanted = files->files.size();
  }
  if (wanted > 0) {
    auto payloads = parse_payloads(value);
    if (!payloads || payloads->size() != wanted) return std::nullopt;
    request.payloads = std::move(*payloads);
  }
  return request;
}

Json handle_request(const ServeContext& context, const Json& value) {
  std::optional<Request> request = validate_request(value);
  Json answer = request ? answer_valid(context, *request)
                        : make_refusal("io-error", "InvalidRequest");
  answer["id"] = echo_id(value);
  return answer;
}

}  // namespace vorn::folder
