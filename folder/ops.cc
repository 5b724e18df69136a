// The operation executor: requireTop, then one of the ten operations, each
// walking its paths from the root's descriptor and acting relative to the
// directories that walk holds open.

#include "folder/ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <type_traits>

namespace vorn::folder {

namespace {

Json refusal(std::string_view error) { return make_refusal("io-error", error); }

std::unexpected<std::string_view> failed(const Error& error) {
  return std::unexpected(dom_error_name(error));
}
std::unexpected<std::string_view> failed_errno(int saved) { return failed(Error::from_errno(saved)); }

Json reachable() { return Json{{"reachable", true}}; }

// Whether every path of the operation fits the system's path limit below
// `root`.
bool paths_fit(std::string_view root, const Op& op) {
  auto fits = [&](std::string_view path) { return fits_path_limit(root, path); };
  return std::visit(
      [&](const auto& params) {
        using T = std::decay_t<decltype(params)>;
        if constexpr (std::is_same_v<T, ReadDirOp>) {
          return fits(params.spec.path);
        } else if constexpr (std::is_same_v<T, ReadDirsOp>) {
          return std::ranges::all_of(params.dirs, [&](const DirSpec& spec) { return fits(spec.path); });
        } else if constexpr (std::is_same_v<T, WriteFilesOp>) {
          return std::ranges::all_of(params.files, fits);
        } else if constexpr (std::is_same_v<T, MoveOp>) {
          return fits(params.from) && fits(params.to);
        } else {
          return fits(params.path);
        }
      },
      op);
}

std::string output_folder(const ServeContext& context, const Request& request) {
  std::string folder = context.request_dir;
  append_component(folder, "files-" + std::string(request.id));
  return folder;
}

OpResult read_dir(const ServeContext& context, const Request& request, int root_fd, const ReadDirOp& op) {
  Target dir(root_fd, op.spec.path);
  if (Stop stop = dir.walk_all()) return *stop;
  std::string output = output_folder(context, request);
  if (Status made = make_dirs(output); !made) return failed(made.error());
  return copy_listing(dir.place(), op.spec, output, nullptr);
}

OpResult read_dirs(const ServeContext& context, const Request& request, int root_fd,
                   const ReadDirsOp& op) {
  uint64_t budget = READ_DIRS_BUDGET;
  Json results = Json::array();
  std::string output = output_folder(context, request);
  for (size_t i = 0; i < op.dirs.size(); ++i) {
    const DirSpec& spec = op.dirs[i];
    std::string folder = output;
    append_component(folder, std::to_string(i));
    if (Status made = make_dirs(folder); !made) return failed(made.error());
    Target dir(root_fd, spec.path);
    if (Stop stop = dir.walk_all()) return *stop;
    OpResult listing = copy_listing(dir.place(), spec, folder, &budget);
    if (!listing) return listing;
    Json& answer = *listing;
    if (answer["reachable"] != true) {
      if (answer["reason"] == "own-file-unreadable") answer["dir"] = i;
      return listing;
    }
    results.push_back(
        Json{{"entries", std::move(answer["entries"])}, {"unreadable", std::move(answer["unreadable"])}});
  }
  return Json{{"dirs", std::move(results)}, {"reachable", true}};
}

OpResult write_files(int root_fd, const WriteFilesOp& op, const PayloadList& payloads) {
  for (size_t k = 0; k < op.files.size() && k < payloads.size(); ++k) {
    OpResult written = write_file(root_fd, op.files[k], payloads[k]);
    if (!written || (*written)["reachable"] != true) return written;
  }
  return reachable();
}

OpResult move(int root_fd, const MoveOp& op) {
  Target from(root_fd, op.from);
  Target to(root_fd, op.to);
  if (Stop stop = from.walk_parents()) return *stop;
  if (Stop stop = to.walk_parents()) return *stop;
  if (Stop stop = from.probe()) return *stop;
  if (Stop stop = to.probe()) return *stop;
  if (to.status()) return refusal("Exists");
  if (!from.status()) return reachable();
  if (S_ISDIR(from.status()->st_mode)) return refusal("IsDirectory");
  // The parents of the target are not made.
  if (!to.parents_reached()) return failed_errno(ENOENT);
  // The target is never replaced, also when it appears after the test above.
  const char* from_name = from.name().c_str();
  const char* to_name = to.name().c_str();
  if (renameat2(from.dir(), from_name, to.dir(), to_name, RENAME_NOREPLACE) != 0) {
    int saved = errno;
    if (saved == EEXIST) return refusal("Exists");
    if (saved != EINVAL && saved != ENOSYS) return failed_errno(saved);
    // File systems (or kernels) without the flag get the plain rename after
    // the test above.
    if (renameat(from.dir(), from_name, to.dir(), to_name) != 0) return failed_errno(errno);
  }
  return reachable();
}

OpResult remove(int root_fd, const RemoveOp& op) {
  Target target(root_fd, op.path);
  if (Stop stop = target.walk_parents()) return *stop;
  if (target.parent_is_file()) return failed_errno(ENOTDIR);
  if (!target.parents_reached()) return reachable();  // already gone
  if (Status removed = remove_path(target.dir(), target.name()); !removed) return failed(removed.error());
  return reachable();
}

OpResult exists(int root_fd, const ExistsOp& op) {
  Target target(root_fd, op.path);
  if (Stop stop = target.walk_all()) return *stop;
  return Json{{"exists", target.status().has_value()}, {"reachable", true}};
}

OpResult remove_dir(int root_fd, const RemoveDirOp& op) {
  Target target(root_fd, op.path);
  if (Stop stop = target.walk_all()) return *stop;
  return remove_dir_if_flat(target.place());
}

OpResult names(int root_fd, const ListNamesOp& op) {
  Target target(root_fd, op.path);
  if (Stop stop = target.walk_all()) return *stop;
  return list_names(target.place(), op.holding);
}

OpResult make_dir(int root_fd, const MakeDirOp& op) {
  Target target(root_fd, op.path);
  if (Stop stop = target.walk_parents()) return *stop;
  // mkdir below a file fails with ENOTDIR.
  if (target.parent_is_file()) return failed_errno(ENOTDIR);
  if (Stop stop = target.make_parents()) return *stop;
  if (mkdirat(target.dir(), target.name().c_str(), 0777) == 0) return reachable();
  int saved = errno;
  // An existing directory counts as made, also one that a link leads to.
  struct stat st;
  if (saved == EEXIST && fstatat(target.dir(), target.name().c_str(), &st, 0) == 0 &&
      S_ISDIR(st.st_mode)) {
    return reachable();
  }
  return failed_errno(saved);
}

}  // namespace

Target::Target(int root_fd, std::string_view path)
    : root_fd_(root_fd), parents_(split_components(path)) {
  name_ = std::string(parents_.back());
  parents_.pop_back();
}

Stop Target::walk_parents() {
  Result<Walk> walked = symlink_walk(root_fd_, parents_);
  if (!walked) return failed(walked.error());
  walk_ = std::move(*walked);
  if (walk_.kind == Walk::kLink) return refusal("Symlink");
  // Looking at anything below a file fails with ENOTDIR.
  if (walk_.kind == Walk::kNotDir && walk_.depth + 1 < parents_.size()) return failed_errno(ENOTDIR);
  return std::nullopt;
}

Stop Target::probe() {
  if (walk_.kind == Walk::kNotDir) return failed_errno(ENOTDIR);
  if (walk_.kind == Walk::kMissing) return std::nullopt;
  Result<std::optional<struct stat>> found = symlink_status(dir(), name_);
  if (!found) return failed(found.error());
  if (*found && S_ISLNK((*found)->st_mode)) return refusal("Symlink");
  status_ = *found;
  return std::nullopt;
}

Stop Target::walk_all() {
  if (Stop stop = walk_parents()) return stop;
  return probe();
}

Stop Target::make_parents() {
  if (walk_.kind == Walk::kNotDir) return failed_errno(EEXIST);  // mkdir of a file's name
  for (; walk_.depth < parents_.size(); ++walk_.depth) {
    std::string component(parents_[walk_.depth]);
    if (mkdirat(dir(), component.c_str(), 0777) != 0 && errno != EEXIST) return failed_errno(errno);
    UniqueFd next;
    Result<Walk::Kind> opened = open_dir_at(dir(), component, next);
    if (!opened) return failed(opened.error());
    switch (*opened) {
      case Walk::kReached: break;
      case Walk::kLink: return refusal("Symlink");
      case Walk::kNotDir: return failed_errno(EEXIST);
      case Walk::kMissing: return failed_errno(ENOENT);  // removed as soon as made
    }
    walk_.dir = DirFd(std::move(next));
  }
  walk_.kind = Walk::kReached;
  return std::nullopt;
}

Stop open_listed_dir(const Place& place, UniqueFd& dir) {
  dir.reset();
  if (place.missing()) return std::nullopt;
  Result<Walk::Kind> opened = open_dir_at(place.dir, place.name, dir, DirUse::kList);
  if (!opened) return failed(opened.error());
  switch (*opened) {
    case Walk::kReached:
    case Walk::kMissing: return std::nullopt;
    case Walk::kLink: return refusal("Symlink");
    case Walk::kNotDir: return failed_errno(ENOTDIR);
  }
  return std::nullopt;
}

Status make_dirs(const std::string& path) {
  auto is_dir = [](const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  if (path.empty()) return {};
  if (mkdir(path.c_str(), 0777) == 0) return {};
  int saved = errno;
  if (saved != ENOENT) {
    if (is_dir(path)) return {};
    return fail_errno(saved);
  }
  // Create the parent first; trailing slashes belong to this path, not to it.
  size_t end = path.find_last_not_of('/');
  size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
  if (slash == std::string::npos) return fail_errno(saved);
  std::string parent = path.substr(0, slash == 0 ? 1 : slash);
  if (parent == path) return fail_errno(saved);
  TRY(make_dirs(parent));
  if (mkdir(path.c_str(), 0777) == 0) return {};
  saved = errno;
  if (is_dir(path)) return {};
  return fail_errno(saved);
}

OpResult execute_op(const ServeContext& context, const Request& request, int root_fd,
                    const PayloadList& payloads) {
  // A path longer than the system's path calls take gets their answer
  // (ENAMETOOLONG), in the order those calls would meet it: requireTop's
  // before its test, the operation's before anything of it is done, so that
  // a refused request has created, read and changed nothing.
  if (request.require_top) {
    if (!fits_path_limit(request.root, *request.require_top)) return failed_errno(ENAMETOOLONG);
    Target top(root_fd, *request.require_top);
    if (Stop stop = top.walk_all()) return *stop;
    if (!top.status()) return make_refusal("no-vorn-dir");
  }
  if (!paths_fit(request.root, request.op)) return failed_errno(ENAMETOOLONG);
  return std::visit(
      [&](const auto& op) -> OpResult {
        using T = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<T, ReadDirOp>) return read_dir(context, request, root_fd, op);
        if constexpr (std::is_same_v<T, ReadDirsOp>) return read_dirs(context, request, root_fd, op);
        if constexpr (std::is_same_v<T, WriteOp>) {
          if (payloads.empty()) return std::unexpected(std::string_view("UnknownError"));
          return write_file(root_fd, op.path, payloads[0]);
        }
        if constexpr (std::is_same_v<T, WriteFilesOp>) return write_files(root_fd, op, payloads);
        if constexpr (std::is_same_v<T, MoveOp>) return move(root_fd, op);
        if constexpr (std::is_same_v<T, RemoveOp>) return remove(root_fd, op);
        if constexpr (std::is_same_v<T, ExistsOp>) return exists(root_fd, op);
        if constexpr (std::is_same_v<T, RemoveDirOp>) return remove_dir(root_fd, op);
        if constexpr (std::is_same_v<T, ListNamesOp>) return names(root_fd, op);
        if constexpr (std::is_same_v<T, MakeDirOp>) return make_dir(root_fd, op);
      },
      request.op);
}

}  // namespace vorn::folder
