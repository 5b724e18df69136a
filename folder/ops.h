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

// Carries out one validated request whose root is an existing directory.
[[nodiscard]] OpResult execute_op(const ServeContext& context, const Request& request,
                                  std::string_view root, const PayloadList& payloads);

// ---- write path ----

// Writes `payload` to root/`path` whole or not at all, through a temporary
// file beside the target that is renamed onto it.
[[nodiscard]] OpResult write_file(std::string_view root, SymlinkProbe probe, std::string_view path,
                                  std::string_view payload);
// 16 lowercase hex digits of 8 random bytes.
[[nodiscard]] Result<std::string> random_token();
// Writes all of `bytes`, then closes the descriptor whatever happened.
[[nodiscard]] Status write_and_close(UniqueFd fd, std::string_view bytes);
// Removes regular files beside `name` in `directory` that are named
// name.<16 hex>.tmp and older than 600 seconds. Ignores every failure.
void sweep_temp_files(const std::string& directory, std::string_view name);
// More than 600 seconds between `mtime` and `now`; never for a future time.
bool temp_file_is_stale(const timespec& mtime, const timespec& now);

// ---- removal and name listing ----

// Removes one entry (rmdir for a directory, unlink otherwise, never following
// a final link); a missing entry counts as removed.
[[nodiscard]] Status remove_path(const std::string& path);
// Removes the non-directory entries of `directory`, then the directory itself
// unless it holds a subdirectory: {"reachable": true, "removed": bool}.
[[nodiscard]] OpResult remove_dir_if_flat(const std::string& directory);
// Up to 1000 names of `directory` in name order, and optionally those
// entries that hold `holding`.
[[nodiscard]] OpResult list_names(const std::string& directory,
                                  std::optional<std::string_view> holding);

// ---- listing copier ----

struct CopiedFile {
  std::string name;
  std::string copy;  // decimal number of the copy in the output folder
};

// Lists `directory`, copies every readable regular file that matches the
// spec into `output` as 0, 1, 2, ... and answers with the listing. `budget`
// is the byte count shared by the listings of one readDirs request; it is
// lowered by what is copied. Without it (readDir) there is no shared budget.
[[nodiscard]] OpResult copy_listing(const std::string& directory, const DirSpec& spec,
                                    const std::string& output, uint64_t* budget);
// The entries whose name ends with the DirSpec's suffix, in their order.
std::vector<ListingEntry> filter_by_suffix(std::vector<ListingEntry> entries, const DirSpec& spec);
// [{"copy": ..., "name": ...}, ...] in the files' order.
Json name_copy_objects(const std::vector<CopiedFile>& files);

// Creates `path` and its missing ancestors (mode 0777 less the umask); an
// existing directory, also one reached through a link, counts as success.
[[nodiscard]] Status make_dirs(const std::string& path);

}  // namespace vorn::folder
