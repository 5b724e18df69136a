// Removal of entries and flat directories, and the name listing.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "folder/ops.h"

namespace vorn::folder {

namespace {

std::unexpected<std::string_view> failed(const Error& error) {
  return std::unexpected(dom_error_name(error));
}

Json sorted_names(std::vector<std::string> names) {
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& a, const std::string& b) { return utf16_less(a, b); });
  return Json(std::move(names));
}

}  // namespace

Status remove_path(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    int saved = errno;
    if (saved == ENOENT) return {};
    return fail_errno(saved);
  }
  int rc = S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
  if (rc != 0) {
    int saved = errno;
    if (saved == ENOENT) return {};
    return fail_errno(saved);
  }
  return {};
}

OpResult remove_dir_if_flat(const std::string& directory) {
  Result<std::vector<ListingEntry>> entries = list_dir(directory);
  if (!entries) return failed(entries.error());
  bool subdirectory_seen = false;
  for (const ListingEntry& entry : *entries) {
    Result<bool> is_link = symlink_status(entry.path);
    if (!is_link) return failed(is_link.error());
    if (!*is_link) {
      struct stat st;
      if (stat(entry.path.c_str(), &st) != 0) return failed(Error::from_errno(errno));
      if (S_ISDIR(st.st_mode)) {
        subdirectory_seen = true;
        continue;
      }
    }
    if (Status removed = remove_path(entry.path); !removed) return failed(removed.error());
  }
  if (!subdirectory_seen) {
    if (Status removed = remove_path(directory); !removed) return failed(removed.error());
  }
  return Json{{"reachable", true}, {"removed", !subdirectory_seen}};
}

OpResult list_names(const std::string& directory, std::optional<std::string_view> holding) {
  Result<std::vector<ListingEntry>> entries = list_dir(directory);
  if (!entries) return failed(entries.error());
  if (entries->size() > LIST_NAMES_LIMIT) entries->resize(LIST_NAMES_LIMIT);

  std::vector<std::string> names;
  names.reserve(entries->size());
  for (const ListingEntry& entry : *entries) names.push_back(entry.name);
  Json answer = {{"reachable", true}, {"names", sorted_names(std::move(names))}};

  if (holding) {
    std::vector<std::string> holders;
    for (const ListingEntry& entry : *entries) {
      Result<bool> is_link = symlink_status(entry.path);
      if (!is_link) return failed(is_link.error());
      if (*is_link) continue;
      std::string inner = entry.path;
      append_component(inner, *holding);
      struct stat st;
      if (stat(inner.c_str(), &st) == 0) holders.push_back(entry.name);
    }
    answer["holding"] = sorted_names(std::move(holders));
  }
  return answer;
}

}  // namespace vorn::folder
