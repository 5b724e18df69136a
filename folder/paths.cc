#include "folder/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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

std::string join_components(std::string_view base, const std::vector<std::string_view>& components,
                            size_t count) {
  std::string path(base);
  for (size_t i = 0; i < count && i < components.size(); ++i) append_component(path, components[i]);
  return path;
}

// The one place that decides whether a path below a root passes through a
// symbolic link. Every operation walks with it before touching the disk.
Result<bool> symlink_walk(SymlinkProbe probe, std::string_view root,
                          const std::vector<std::string_view>& components) {
  std::string path(root);
  for (std::string_view component : components) {
    append_component(path, component);
    Result<bool> is_link = probe(path);
    if (!is_link) return is_link;
    if (*is_link) return true;
  }
  return false;
}

Result<bool> symlink_status(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    int saved = errno;
    if (saved == ENOENT) return false;
    return fail_errno(saved);
  }
  return S_ISLNK(st.st_mode);
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

Result<std::vector<ListingEntry>> list_dir(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) {
    int saved = errno;
    if (saved == ENOENT) return std::vector<ListingEntry>{};
    return fail_errno(saved);
  }
  std::vector<ListingEntry> entries;
  Error failure;
  bool failed = false;
  while (true) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) {
        failure = Error::from_errno(errno);
        failed = true;
      }
      break;
    }
    std::string_view raw(entry->d_name);
    if (raw == "." || raw == "..") continue;
    std::string path = directory;
    append_component(path, raw);
    entries.push_back(ListingEntry{lossy_utf8(raw), std::move(path)});
  }
  closedir(dir);
  if (failed) return fail(std::move(failure));
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
