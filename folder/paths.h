// Paths below a request's root, the symbolic-link walk, directory listings,
// the name order and the web error names of the folder service.
//
// Every file the service touches is named by a root plus a relative path from
// the request. These routines keep such paths inside the root (no "..", no
// symbolic link on the way down) and turn I/O failures into the error names
// the browser understands. All of them run on the service's main thread.
#pragma once

#include <compare>
#include <string>
#include <string_view>
#include <vector>

#include "frame/error.h"
#include "frame/utf8.h"

namespace vorn::folder {

// Tells whether a path itself (its last component unfollowed) is a symbolic
// link. A path that does not exist is no link; any other failure is an error.
using SymlinkProbe = Result<bool> (*)(const std::string& path);

// True for a non-empty text without NUL, ':' or '\', not starting with '/',
// whose '/'-separated components are neither empty nor "." nor "..".
bool is_safe_relative_path(std::string_view text);

// The components of a safe relative path, in order.
std::vector<std::string_view> split_components(std::string_view path);

// Appends one component to a path: one '/' between them unless the path
// already ends with '/'.
void append_component(std::string& path, std::string_view component);
// `base` with each component appended in turn.
std::string join_components(std::string_view base, const std::vector<std::string_view>& components,
                            size_t count);
inline std::string join_components(std::string_view base,
                                   const std::vector<std::string_view>& components) {
  return join_components(base, components, components.size());
}

// Probes root/c1, root/c1/c2, ... with `probe` (root itself is never probed)
// and stops at the first link (true) or error. Opens and follows nothing.
[[nodiscard]] Result<bool> symlink_walk(SymlinkProbe probe, std::string_view root,
                                        const std::vector<std::string_view>& components);

// lstat of `path`: true for a symbolic link; ENOENT counts as no link.
[[nodiscard]] Result<bool> symlink_status(const std::string& path);

// The web error name of an I/O error (a static text).
std::string_view dom_error_name(const Error& error);
std::string_view dom_error_name_owned(Error&& error);

struct ListingEntry {
  std::string name;  // the raw file name as UTF-8, ill-formed sequences as U+FFFD
  std::string path;  // directory joined with the raw file name bytes
};

// The entries of a directory in the order the system yields them, without "."
// and "..". A directory that does not exist lists as empty.
[[nodiscard]] Result<std::vector<ListingEntry>> list_dir(const std::string& directory);

// Name order of every sorted list of the service: UTF-16 code units compared
// as unsigned numbers, a proper prefix first. Both texts must be valid UTF-8.
std::strong_ordering utf16_cmp(std::string_view a, std::string_view b);
inline bool utf16_less(std::string_view a, std::string_view b) { return utf16_cmp(a, b) < 0; }

}  // namespace vorn::folder
