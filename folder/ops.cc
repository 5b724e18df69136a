// The operation executor: requireTop, then one of the ten operations, each
// walking its paths for symbolic links before it touches the disk.

#include "folder/ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <type_traits>

namespace vorn::folder {

namespace {

using Stop = std::optional<OpResult>;

Json refusal(std::string_view error) { return make_refusal("io-error", error); }

std::unexpected<std::string_view> failed(const Error& error) {
  return std::unexpected(dom_error_name(error));
}

Json reachable() { return Json{{"reachable", true}}; }

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The path's full form below root and the means to refuse links on it.
class Target {
 public:
  Target(const ServeContext& context, std::string_view root, std::string_view path)
      : probe_(context.symlink_probe), root_(root), components_(split_components(path)) {}

  std::string full() const { return join_components(root_, components_); }

  // Walks every component (all) or all but the last (parents only).
  Stop walk(bool parents_only) const {
    std::vector<std::string_view> walked = components_;
    if (parents_only) walked.pop_back();
    return judge(symlink_walk(probe_, root_, walked));
  }

  // Probes the full path itself.
  Stop probe() const { return judge(probe_(full())); }

 private:
  static Stop judge(const Result<bool>& found) {
    if (!found) return failed(found.error());
    if (*found) return refusal("Symlink");
    return std::nullopt;
  }

  SymlinkProbe probe_;
  std::string_view root_;
  std::vector<std::string_view> components_;
};

std::string output_folder(const ServeContext& context, const Request& request) {
  std::string folder = context.request_dir;
  append_component(folder, "files-" + std::string(request.id));
  return folder;
}

OpResult read_dir(const ServeContext& context, const Request& request, std::string_view root,
                  const ReadDirOp& op) {
  Target dir(context, root, op.spec.path);
  if (Stop stop = dir.walk(false)) return *stop;
  std::string output = output_folder(context, request);
  if (Status made = make_dirs(output); !made) return failed(made.error());
  return copy_listing(dir.full(), op.spec, output, nullptr);
}

OpResult read_dirs(const ServeContext& context, const Request& request, std::string_view root,
                   const ReadDirsOp& op) {
  uint64_t budget = READ_DIRS_BUDGET;
  Json results = Json::array();
  std::string output = output_folder(context, request);
  for (size_t i = 0; i < op.dirs.size(); ++i) {
    const DirSpec& spec = op.dirs[i];
    std::string folder = output;
    append_component(folder, std::to_string(i));
    if (Status made = make_dirs(folder); !made) return failed(made.error());
    Target dir(context, root, spec.path);
    if (Stop stop = dir.walk(false)) return *stop;
    OpResult listing = copy_listing(dir.full(), spec, folder, &budget);
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

OpResult write_files(const ServeContext& context, std::string_view root, const WriteFilesOp& op,
                     const PayloadList& payloads) {
  for (size_t k = 0; k < op.files.size() && k < payloads.size(); ++k) {
    OpResult written = write_file(root, context.symlink_probe, op.files[k], payloads[k]);
    if (!written || (*written)["reachable"] != true) return written;
  }
  return reachable();
}

OpResult move(const ServeContext& context, std::string_view root, const MoveOp& op) {
  Target from(context, root, op.from);
  Target to(context, root, op.to);
  if (Stop stop = from.walk(true)) return *stop;
  if (Stop stop = to.walk(true)) return *stop;
  if (Stop stop = from.probe()) return *stop;
  if (Stop stop = to.probe()) return *stop;
  std::string from_path = from.full(), to_path = to.full();
  if (path_exists(to_path)) return refusal("Exists");
  struct stat st;
  if (stat(from_path.c_str(), &st) != 0) return reachable();
  if (S_ISDIR(st.st_mode)) return refusal("IsDirectory");
  // The target is never replaced, also when it appears after the test above.
  if (renameat2(AT_FDCWD, from_path.c_str(), AT_FDCWD, to_path.c_str(), RENAME_NOREPLACE) != 0) {
    int saved = errno;
    if (saved == EEXIST) return refusal("Exists");
    if (saved != EINVAL && saved != ENOSYS) return failed(Error::from_errno(saved));
    // File systems (or kernels) without the flag get the plain rename after
    // the test above.
    if (rename(from_path.c_str(), to_path.c_str()) != 0) return failed(Error::from_errno(errno));
  }
  return reachable();
}

OpResult remove(const ServeContext& context, std::string_view root, const RemoveOp& op) {
  Target target(context, root, op.path);
  if (Stop stop = target.walk(true)) return *stop;
  if (Status removed = remove_path(target.full()); !removed) return failed(removed.error());
  return reachable();
}

OpResult exists(const ServeContext& context, std::string_view root, const ExistsOp& op) {
  Target target(context, root, op.path);
  if (Stop stop = target.walk(false)) return *stop;
  return Json{{"exists", path_exists(target.full())}, {"reachable", true}};
}

OpResult remove_dir(const ServeContext& context, std::string_view root, const RemoveDirOp& op) {
  Target target(context, root, op.path);
  if (Stop stop = target.walk(false)) return *stop;
  return remove_dir_if_flat(target.full());
}

OpResult names(const ServeContext& context, std::string_view root, const ListNamesOp& op) {
  Target target(context, root, op.path);
  if (Stop stop = target.walk(false)) return *stop;
  return list_names(target.full(), op.holding);
}

OpResult make_dir(const ServeContext& context, std::string_view root, const MakeDirOp& op) {
  Target target(context, root, op.path);
  if (Stop stop = target.walk(true)) return *stop;
  if (Status made = make_dirs(target.full()); !made) return failed(made.error());
  return reachable();
}

}  // namespace

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

OpResult execute_op(const ServeContext& context, const Request& request, std::string_view root,
                    const PayloadList& payloads) {
  if (request.require_top) {
    Target top(context, root, *request.require_top);
    if (Stop stop = top.walk(false)) return *stop;
    if (!path_exists(top.full())) return make_refusal("no-vorn-dir");
  }
  return std::visit(
      [&](const auto& op) -> OpResult {
        using T = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<T, ReadDirOp>) return read_dir(context, request, root, op);
        if constexpr (std::is_same_v<T, ReadDirsOp>) return read_dirs(context, request, root, op);
        if constexpr (std::is_same_v<T, WriteOp>) {
          if (payloads.empty()) return std::unexpected(std::string_view("UnknownError"));
          return write_file(root, context.symlink_probe, op.path, payloads[0]);
        }
        if constexpr (std::is_same_v<T, WriteFilesOp>) return write_files(context, root, op, payloads);
        if constexpr (std::is_same_v<T, MoveOp>) return move(context, root, op);
        if constexpr (std::is_same_v<T, RemoveOp>) return remove(context, root, op);
        if constexpr (std::is_same_v<T, ExistsOp>) return exists(context, root, op);
        if constexpr (std::is_same_v<T, RemoveDirOp>) return remove_dir(context, root, op);
        if constexpr (std::is_same_v<T, ListNamesOp>) return names(context, root, op);
        if constexpr (std::is_same_v<T, MakeDirOp>) return make_dir(context, root, op);
      },
      request.op);
}

}  // namespace vorn::folder
