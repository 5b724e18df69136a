// The folder service's file operations: the executor that carries out one
// validated request below its root, and the bodies it calls for writing,
// removal, name listing and listing copies.
//
// Each routine answers with a key-sorted JSON object or fails with a web error
// name (OpResult); the request handler stamps the id on answers and turns an
// error name into the "io-error" refusal. Nothing here follows a symbolic
// link below the root, and nothing deletes what a listing copied.
//
// Main thread only, one request at a time; no state survives a request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>

#include "folder/paths.h"
#include "folder/request.h"
#include "frame/hex.h"
#include "frame/unique_fd.h"

namespace vorn::folder {

// Largest payload a write accepts (32 MiB).
inline constexpr size_t WRITE_LIMIT = 33'554'432;
// Temporary files older than this are swept after a write of their target.
inline constexpr int64_t STALE_TEMP_SECONDS = 600;
// Shared byte budget of all listings of one readDirs request (256 MiB).
inline constexpr uint64_t READ_DIRS_BUDGET = 268'435'456;
// Positions of a listing examined at all.
inline constexpr size_t LISTING_ENTRY_LIMIT = 1'000;
// Bytes the copies of one listing may hold together (128 MiB).
inline constexpr uint64_t LISTING_BYTE_LIMIT = 134'217'728;
// Unreadable records one listing answer carries.
inline constexpr size_t UNREADABLE_LIMIT = 100;
// Names one listNames answer carries.
inline constexpr size_t LIST_NAMES_LIMIT = 1'000;

// Carries out one validated request whose root is the open directory
// `root_fd`.
[[nodiscard]] OpResult execute_op(const ServeContext& context, const Request& request, int root_fd,
                                  const PayloadList& payloads);

// The last component of a path below a root and the open directory that
// holds it. `dir` is -1 when a directory above it does not exist, so that
// neither does the entry.
struct Place {
  int dir = -1;
  std::string name;
  bool missing() const { return dir < 0; }
};

// What ends an operation early: a refusal answer or an error name.
using Stop = std::optional<OpResult>;

// A path below the root. Its parents are walked from the root's descriptor,
// and its last component is then looked at and acted on only relative to the
// directory that walk holds open, so renames elsewhere cannot redirect it.
class Target {
 public:
  Target(int root_fd, std::string_view path);

  // Walks the parents. A link is refused; a missing parent is no failure
  // (nothing below it exists either), and neither is a last parent that is
  // not a directory, whose meaning is the operation's.
  [[nodiscard]] Stop walk_parents();
  // Looks at the last component itself (after walk_parents): a link is
  // refused, and status() tells whether it exists.
  [[nodiscard]] Stop probe();
  // Every component, the last one included.
  [[nodiscard]] Stop walk_all();
  // Creates the parents the walk did not reach (mode 0777 less the umask),
  // each inside the directory made or opened before it, so a link put in
  // place meanwhile is refused rather than followed.
  [[nodiscard]] Stop make_parents();

  bool parents_reached() const { return walk_.kind == Walk::kReached; }
  bool parent_is_file() const { return walk_.kind == Walk::kNotDir; }
  // The directory holding the last component, once the parents are reached.
  int dir() const { return walk_.dir.get(); }
  const std::string& name() const { return name_; }
  // The last component's status from probe(); nothing when it is missing.
  const std::optional<struct stat>& status() const { return status_; }
  Place place() const { return Place{parents_reached() ? dir() : -1, name_}; }

 private:
  int root_fd_;
  std::vector<std::string_view> parents_;
  std::string name_;
  Walk walk_;
  std::optional<struct stat> status_;
};

// Opens the directory at `place` for listing into `dir`, straight from the
// directory that holds it; `dir` stays empty when there is no such
// directory. A link gives the "Symlink" refusal and anything but a directory
// its error name, both as the stop to answer with.
[[nodiscard]] Stop open_listed_dir(const Place& place, UniqueFd& dir);

// ---- write path ----

// Writes `payload` to `path` below the root whole or not at all, through a
// temporary file beside the target that is renamed onto it. A replaced file
// keeps its permission bits.
[[nodiscard]] OpResult write_file(int root_fd, std::string_view path, std::string_view payload);
// 16 lowercase hex digits of 8 random bytes.
[[nodiscard]] Result<std::string> random_token();
// The temporary name beside `name`: name.<token>.tmp
std::string temp_name(std::string_view name, std::string_view token);
// Writes all of `bytes`, then closes the descriptor whatever happened.
[[nodiscard]] Status write_and_close(UniqueFd fd, std::string_view bytes);
// Removes regular files beside `name` in the directory `dir` that are named
// name.<16 hex>.tmp and older than 600 seconds. Ignores every failure.
void sweep_temp_files(int dir, std::string_view name);
// More than 600 seconds between `mtime` and `now`; never for a future time.
bool temp_file_is_stale(const timespec& mtime, const timespec& now);

// ---- removal and name listing ----

// Removes the entry `name` of `dir` (rmdir for a directory, unlink
// otherwise, never following a final link); a missing entry counts as
// removed.
[[nodiscard]] Status remove_path(int dir, const std::string& name);
// Removes the non-directory entries of the directory at `place`, then the
// directory itself unless it holds a subdirectory:
// {"reachable": true, "removed": bool}.
[[nodiscard]] OpResult remove_dir_if_flat(const Place& place);
// Up to 1000 names of the directory at `place` in name order, and
// optionally those entries that hold `holding`.
[[nodiscard]] OpResult list_names(const Place& place, std::optional<std::string_view> holding);

// ---- listing copier ----

struct CopiedFile {
  std::string name;
  std::string copy;  // decimal number of the copy in the output folder
};

// Lists the directory at `place`, copies every readable regular file whose
// name ends with the DirSpec's suffix into the folder `output` as 0, 1, 2,
// ... and answers with the listing. `budget` is the byte count shared by the listings of one
// readDirs request; it is lowered by what is copied. Without it (readDir)
// there is no shared budget.
[[nodiscard]] OpResult copy_listing(const Place& place, const DirSpec& spec,
                                    const std::string& output, uint64_t* budget);
// The entries whose name ends with the DirSpec's suffix, in their order.
std::vector<ListingEntry> filter_by_suffix(std::vector<ListingEntry> entries, const DirSpec& spec);
// [{"copy": ..., "name": ...}, ...] in the files' order.
Json name_copy_objects(const std::vector<CopiedFile>& files);

// Creates `path` and its missing ancestors (mode 0777 less the umask); an
// existing directory, also one reached through a link, counts as success.
// For the request directory only: below a root, directories are made
// relative to the walk's descriptors.
[[nodiscard]] Status make_dirs(const std::string& path);

}  // namespace vorn::folder
