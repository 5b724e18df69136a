#include "folder/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <algorithm>

namespace vorn::folder {

bool is_safe_relative_path(std::string_view text) {
  if (text.empty() || text.front() == '/') return false;
  for (char c : text) {
    if (c == '\0' || c == ':' || c == '\\') return false;
  }
  size_t start = 0;
  while (true) {
    size_t slash = text.find('/', start);
    std::string_view component =
        text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::vector<std::string_view> split_components(std::string_view path) {
  std::vector<std::string_view> components;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      components.push_back(path.substr(start));
      return components;
    }
    components.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

void append_component(std::string& path, std::string_view component) {
  if (path.empty() || path.back() != '/') path += '/';
  path += component;
}

bool fits_path_limit(std::string_view root, std::string_view path) {
  size_t slash = root.empty() || root.back() != '/' ? 1 : 0;
  return root.size() + slash + path.size() < PATH_MAX;
}

namespace {

std::atomic<bool> kernel_resolution{true};

// The kernel resolves the whole path at once and refuses any link on the way
// (also one of /proc's magic links). Nothing when it cannot say; the caller
// then walks one component at a time, which also tells where a walk stopped.
std::optional<UniqueFd> open_beneath(int root_fd, const std::string& path) {
  if (!kernel_resolution.load(std::memory_order_relaxed)) return std::nullopt;
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = syscall(SYS_openat2, root_fd, path.c_str(), &how, sizeof how);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
  int saved = errno;
  // Kernels before 5.6 lack the call, and seccomp filters tend to refuse it
  // with EPERM; the walk below is the same check done in user space.
  if (saved == ENOSYS || saved == EPERM || saved == E2BIG || saved == EINVAL) {
    kernel_resolution.store(false, std::memory_order_relaxed);
  }
  return std::nullopt;
}

}  // namespace

void use_kernel_resolution(bool enabled) { kernel_resolution.store(enabled); }

Result<Walk::Kind> open_dir_at(int dir, const std::string& name, UniqueFd& opened, DirUse use) {
  // An entry that is being renamed back and forth can be a link when opened
  // and a directory when looked at; the open is then tried again, and an
  // entry that never holds still is refused as the link it keeps becoming.
  constexpr int kTries = 3;
  // O_DIRECTORY refuses anything but a directory before it is opened, so no
  // FIFO or device is ever opened for reading here.
  int flags = (use == DirUse::kList ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    opened.reset(openat(dir, name.c_str(), flags));
    if (opened) return Walk::kReached;
    int saved = errno;
    if (saved == ENOENT) return Walk::kMissing;
    if (saved != ENOTDIR && saved != ELOOP) return fail_errno(saved);
    // A link and a file both give ENOTDIR here; only their status tells
    // them apart.
    Result<std::optional<struct stat>> status = symlink_status(dir, name);
    if (!status) return fail(std::move(status).error());
    if (!*status) return Walk::kMissing;
    if (S_ISLNK((*status)->st_mode)) return Walk::kLink;
    if (!S_ISDIR((*status)->st_mode)) return Walk::kNotDir;
  }
  return Walk::kLink;
}

Result<Walk> symlink_walk(int root_fd, const std::vector<std::string_view>& components) {
  Walk walk;
  walk.dir = DirFd::borrow(root_fd);
  if (components.empty()) return walk;
  std::string relative(components.front());
  for (size_t i = 1; i < components.size(); ++i) append_component(relative, components[i]);
  if (std::optional<UniqueFd> whole = open_beneath(root_fd, relative)) {
    walk.depth = components.size();
    walk.dir = DirFd(std::move(*whole));
    return walk;
  }
  for (std::string_view component : components) {
    UniqueFd next;
    walk.kind = TRY(open_dir_at(walk.dir.get(), std::string(component), next));
    if (walk.kind != Walk::kReached) return walk;
    walk.dir = DirFd(std::move(next));
    ++walk.depth;
  }
  return walk;
}

Result<std::optional<struct stat>> symlink_status(int dir, const std::string& name) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    int saved = errno;
    if (saved == ENOENT) return std::nullopt;
    return fail_errno(saved);
  }
  return st;
}

std::string_view dom_error_name(const Error& error) {
  if (error.os_error != 0) {
    switch (error.os_error) {
      case EPERM:
      case EACCES: return "NotAllowedError";
      case ENOENT:
      case ELOOP:
      case ENOLINK: return "NotFoundError";
      case EEXIST: return "NoModificationAllowedError";
      case ENOTDIR:
      case EISDIR: return "InvalidAccessError";
      case EFBIG:
      case ENOSPC:
      case EDQUOT: return "NotReadableError";
      case EROFS: return "ReadOnlyError";
      case ENAMETOOLONG:
      case ENOTEMPTY: return "OperationError";
      default: return "UnknownError";
    }
  }
  switch (error.kind) {
    case ErrorKind::kNotFound: return "NotFoundError";
    case ErrorKind::kPermissionDenied: return "NotAllowedError";
    case ErrorKind::kAlreadyExists: return "NoModificationAllowedError";
    default: return "UnknownError";
  }
}

std::string_view dom_error_name_owned(Error&& error) {
  Error owned = std::move(error);
  return dom_error_name(owned);
}

Result<UniqueFd> reopen_for_listing(int dir) {
  // The descriptor's own entry in /proc leads to the very directory held, and
  // the open then checks only read permission on it.
  std::string own = "/proc/self/fd/" + std::to_string(dir);
  UniqueFd readable(open(own.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable) return readable;
  // Without /proc, "." is the directory too, at the cost of search permission.
  readable.reset(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) return fail_errno(errno);
  return readable;
}

Status for_each_entry(int dir, const std::function<void(std::string_view raw)>& visit) {
  // The stream takes a copy, so the caller's descriptor stays open for the
  // lookups that follow; the copy shares its position, hence the rewind.
  UniqueFd copy(fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!copy) return fail_errno(errno);
  DIR* stream = fdopendir(copy.get());
  if (stream == nullptr) return fail_errno(errno);
  (void)copy.release();  // the stream owns it now
  rewinddir(stream);
  int failure = 0;
  while (true) {
    errno = 0;
    struct dirent* entry = readdir(stream);
    if (entry == nullptr) {
      failure = errno;
      break;
    }
    std::string_view raw(entry->d_name);
    if (raw != "." && raw != "..") visit(raw);
  }
  closedir(stream);
  if (failure != 0) return fail_errno(failure);
  return {};
}

Result<std::vector<ListingEntry>> list_dir(int dir) {
  std::vector<ListingEntry> entries;
  TRY(for_each_entry(dir, [&](std::string_view raw) {
    entries.push_back(ListingEntry{lossy_utf8(raw), std::string(raw)});
  }));
  return entries;
}

namespace {

// Decodes the code point of a well-formed sequence of `len` bytes at `s[i]`.
char32_t decode(std::string_view s, size_t i, int len) {
  auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[k])); };
  switch (len) {
    case 1: return byte(i);
    case 2: return ((byte(i) & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    case 3: return ((byte(i) & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
    default:
      return ((byte(i) & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
             (byte(i + 3) & 0x3F);
  }
}

// Walks a valid UTF-8 text one UTF-16 code unit at a time.
class Utf16Units {
 public:
  explicit Utf16Units(std::string_view text) : text_(text) {}
  // False at the end of the text.
  bool next(uint16_t& unit) {
    if (pending_low_ != 0) {
      unit = std::exchange(pending_low_, 0);
      return true;
    }
    if (pos_ >= text_.size()) return false;
    int len = utf8_sequence(text_, pos_);
    if (len < 0) {  // not expected for valid text; order it as U+FFFD
      pos_ += static_cast<size_t>(-len);
      unit = 0xFFFD;
      return true;
    }
    char32_t cp = decode(text_, pos_, len);
    pos_ += static_cast<size_t>(len);
    if (cp < 0x10000) {
      unit = static_cast<uint16_t>(cp);
    } else {
      unit = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
      pending_low_ = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  uint16_t pending_low_ = 0;
};

}  // namespace

std::strong_ordering utf16_cmp(std::string_view a, std::string_view b) {
  // Below U+E000 byte order and UTF-16 order agree, so most names never need
  // decoding: skip the common prefix and decode only from its code point on.
  size_t common = 0;
  size_t limit = std::min(a.size(), b.size());
  while (common < limit && a[common] == b[common]) ++common;
  if (common == a.size() || common == b.size()) return a.size() <=> b.size();
  // Back up to the start of the code point that holds the first difference.
  while (common > 0 && (static_cast<unsigned char>(a[common]) & 0xC0) == 0x80) --common;
  Utf16Units ua(a.substr(common)), ub(b.substr(common));
  while (true) {
    uint16_t x = 0, y = 0;
    bool has_x = ua.next(x), has_y = ub.next(y);
    if (!has_x || !has_y) return has_x <=> has_y;
    if (x != y) return x <=> y;
  }
}

}  // namespace vorn::folder
