// Paths below a request's root, the symbolic-link walk, directory listings,
// the name order and the web error names of the folder service.
//
// Every file the service touches is named by a root plus a relative path from
// the request. These routines keep such paths inside the root (no "..", no
// symbolic link on the way down) and turn I/O failures into the error names
// the browser understands. Below the root nothing is reached by a path text
// twice: a walk opens each directory and later calls act relative to it, so
// another process renaming entries cannot lead a request outside its root.
// All of them run on the service's main thread.
#pragma once

#include <sys/stat.h>

#include <compare>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/error.h"
#include "frame/unique_fd.h"
#include "frame/utf8.h"

namespace vorn::folder {

// True for a non-empty text without NUL, ':' or '\', not starting with '/',
// whose '/'-separated components are neither empty nor "." nor "..".
bool is_safe_relative_path(std::string_view text);

// The components of a safe relative path, in order.
std::vector<std::string_view> split_components(std::string_view path);

// Appends one component to a path: one '/' between them unless the path
// already ends with '/'.
void append_component(std::string& path, std::string_view component);

// Whether `path` below `root`, joined as append_component joins, is shorter
// than PATH_MAX bytes: a path the system's own path calls can name. Walking
// through descriptors could reach further, into trees that the user's tools
// cannot reach or remove.
bool fits_path_limit(std::string_view root, std::string_view path);

// A directory descriptor: owned, or borrowed from the caller (the root's).
class DirFd {
 public:
  DirFd() = default;
  explicit DirFd(UniqueFd owned) : owned_(std::move(owned)), fd_(owned_.get()) {}
  static DirFd borrow(int fd) {
    DirFd dir;
    dir.fd_ = fd;
    return dir;
  }
  int get() const { return fd_; }

 private:
  UniqueFd owned_;
  int fd_ = -1;
};

// How far a walk down from a root got without meeting a symbolic link. Every
// directory on the way is held open, so what the caller does next happens in
// the directory that was checked, whatever is renamed meanwhile.
struct Walk {
  enum Kind {
    kReached,  // every component is a directory; `dir` is the last one
    kMissing,  // component `depth` does not exist, so nothing below it does
    kNotDir,   // component `depth` exists but is neither directory nor link
    kLink,     // component `depth` is a symbolic link
  };
  Kind kind = kReached;
  size_t depth = 0;  // components passed as directories
  DirFd dir;         // the directory at `depth`: the root itself at depth 0
};

// Walks `components` down from the directory `root_fd` (itself never looked
// at, so a root may be reached through a link), opening each as a directory
// and following no link. Stops at the first component that is missing, not
// a directory or a link; other failures of the walk are errors.
[[nodiscard]] Result<Walk> symlink_walk(int root_fd, const std::vector<std::string_view>& components);

// What a directory is opened for. Looking names up in it asks only search
// permission on the directory holding it (O_PATH); listing its entries also
// asks read permission on the directory itself, as listing it by its path
// does, but never search permission on it.
enum class DirUse { kLookup, kList };

// One step of such a walk: opens `name` in `dir` as a directory without
// following it. `opened` is set for kReached.
[[nodiscard]] Result<Walk::Kind> open_dir_at(int dir, const std::string& name, UniqueFd& opened,
                                             DirUse use = DirUse::kLookup);

// The kernel's own beneath-resolution is used while it works; the fallback
// opens one component at a time. Tests turn it off to drive the fallback.
void use_kernel_resolution(bool enabled);

// lstat of `name` in `dir`: nothing when it does not exist, otherwise its
// status, a symbolic link not followed.
[[nodiscard]] Result<std::optional<struct stat>> symlink_status(int dir, const std::string& name);

// The web error name of an I/O error (a static text).
std::string_view dom_error_name(const Error& error);
std::string_view dom_error_name_owned(Error&& error);

struct ListingEntry {
  std::string name;  // the raw file name as UTF-8, ill-formed sequences as U+FFFD
  std::string raw;   // the file name's own bytes, to reach the entry by
};

// Opens the directory that `dir` holds for listing, where there is no parent
// descriptor to open it from (an O_PATH descriptor of the walk, perhaps the
// root's). It asks what listing the directory by its path asks: read
// permission on it, not the search permission that opening "." in it asks.
[[nodiscard]] Result<UniqueFd> reopen_for_listing(int dir);

// The entries of the directory `dir`, opened for listing (DirUse::kList), in
// the order the system yields them, from the first, without "." and "..".
[[nodiscard]] Result<std::vector<ListingEntry>> list_dir(int dir);
// The same walk through the raw names only, for callers that look at most
// entries just once.
[[nodiscard]] Status for_each_entry(int dir, const std::function<void(std::string_view raw)>& visit);

// Name order of every sorted list of the service: UTF-16 code units compared
// as unsigned numbers, a proper prefix first. Both texts must be valid UTF-8.
std::strong_ordering utf16_cmp(std::string_view a, std::string_view b);
inline bool utf16_less(std::string_view a, std::string_view b) { return utf16_cmp(a, b) < 0; }

}  // namespace vorn::folder
