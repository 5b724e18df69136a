// Removal of entries and flat directories, and the name listing.

#include <fcntl.h>
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

Status remove_path(int dir, const std::string& name) {
  Result<std::optional<struct stat>> status = symlink_status(dir, name);
  if (!status) return fail(std::move(status).error());
  if (!*status) return {};
  if (unlinkat(dir, name.c_str(), S_ISDIR((*status)->st_mode) ? AT_REMOVEDIR : 0) != 0) {
    int saved = errno;
    if (saved == ENOENT) return {};
    return fail_errno(saved);
  }
  return {};
}

OpResult remove_dir_if_flat(const Place& place) {
  UniqueFd dir;
  if (Stop stop = open_listed_dir(place, dir)) return *stop;
  if (!dir) return Json{{"reachable", true}, {"removed", true}};  // nothing to remove
  Result<std::vector<ListingEntry>> entries = list_dir(dir.get());
  if (!entries) return failed(entries.error());
  bool subdirectory_seen = false;
  for (const ListingEntry& entry : *entries) {
    Result<std::optional<struct stat>> status = symlink_status(dir.get(), entry.raw);
    if (!status) return failed(status.error());
    if (!*status) return failed(Error::from_errno(ENOENT));
    if (S_ISDIR((*status)->st_mode)) {
      subdirectory_seen = true;
      continue;
    }
    // A link goes itself; what it leads to is never looked at.
    if (Status removed = remove_path(dir.get(), entry.raw); !removed) return failed(removed.error());
  }
  if (subdirectory_seen) return Json{{"reachable", true}, {"removed", false}};
  // The directory goes by its name, which may have been given to something
  // else since it was opened: only a directory is removed there.
  Result<std::optional<struct stat>> status = symlink_status(place.dir, place.name);
  if (!status) return failed(status.error());
  if (*status) {
    if (S_ISLNK((*status)->st_mode)) return make_refusal("io-error", "Symlink");
    if (!S_ISDIR((*status)->st_mode)) return failed(Error::from_errno(ENOTDIR));
    if (unlinkat(place.dir, place.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      return failed(Error::from_errno(errno));
    }
  }
  return Json{{"reachable", true}, {"removed", true}};
}

OpResult list_names(const Place& place, std::optional<std::string_view> holding) {
  UniqueFd dir;
  if (Stop stop = open_listed_dir(place, dir)) return *stop;
  std::vector<ListingEntry> entries;
  if (dir) {
    Result<std::vector<ListingEntry>> listed = list_dir(dir.get());
    if (!listed) return failed(listed.error());
    entries = std::move(*listed);
  }
  if (entries.size() > LIST_NAMES_LIMIT) entries.resize(LIST_NAMES_LIMIT);

  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const ListingEntry& entry : entries) names.push_back(entry.name);
  Json answer = {{"reachable", true}, {"names", sorted_names(std::move(names))}};

  if (holding) {
    std::string held(*holding);
    std::vector<std::string> holders;
    for (const ListingEntry& entry : entries) {
      Result<std::optional<struct stat>> status = symlink_status(dir.get(), entry.raw);
      if (!status) return failed(status.error());
      // Only a directory can hold anything; a link is skipped, not followed.
      if (!*status || !S_ISDIR((*status)->st_mode)) continue;
      UniqueFd inner;
      Result<Walk::Kind> opened = open_dir_at(dir.get(), entry.raw, inner);
      if (!opened || *opened != Walk::kReached) continue;
      struct stat st;
      if (fstatat(inner.get(), held.c_str(), &st, 0) == 0) holders.push_back(entry.name);
    }
    answer["holding"] = sorted_names(std::move(holders));
  }
  return answer;
}

}  // namespace vorn::folder
