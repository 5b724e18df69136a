// Self-update: noticing that the program file now holds another build, and
// handing the agent's session to it in the same process.
//
// At start the bridge records the identity of its program file. In idle turns
// the relay loop asks `update_available`, which costs one stat while the file
// is unchanged and asks a changed file for its build stamp otherwise. A
// different stamp (older or newer) makes the loop exec the file in place with
// the session's `Resume` record in VORN_MCP_RESUME; the successor takes it
// with `take_resume` before anything else. The process id and the standard
// streams survive; every other descriptor is close-on-exec and goes away.
//
// Everything here runs on the main thread, which owns the snapshot.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/error.h"

namespace vorn {

struct StdinShared;

// The parts of a file's status that tell one build of the program from the
// next: stat's st_dev, st_ino, st_mtime (seconds and nanoseconds), st_size.
struct FileStatus {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mtime_sec = 0;
  std::int64_t mtime_nsec = 0;
  std::int64_t size = 0;
  friend bool operator==(const FileStatus&, const FileStatus&) = default;
};

// The status of the file at `path`, following symbolic links.
[[nodiscard]] Result<FileStatus> stat_file(const std::filesystem::path& path);

// The program file the bridge was started from, as last examined.
struct ExeSnapshot {
  // None means unknown: the next successful stat probes the file at once.
  std::optional<FileStatus> status;
  // Canonical absolute path of the running program file.
  std::filesystem::path program;
  // The stdin reader's shared record; the relay loop reaches its lock here.
  std::shared_ptr<StdinShared> stdin_share;
};

// Records the running program file. None (and the share released) when its
// path or status cannot be read; the process then never updates itself.
std::optional<ExeSnapshot> snapshot_exe(std::shared_ptr<StdinShared> stdin_share);

// How long a `--version` probe may run before it is killed.
inline constexpr std::chrono::seconds kProbeLimit{5};

// Runs `path --version` and gives the build stamp it prints after
// "vorn-mcp ", or none when it answers otherwise, fails, or outlives
// `limit`. An error only when the program cannot be started.
[[nodiscard]] Result<std::optional<std::string>> probe_version(
    const std::filesystem::path& path, std::chrono::milliseconds limit = kProbeLimit);

// True when the program file now holds a build whose stamp differs from
// `own_stamp`. Probes only when the file's status differs from the recorded
// one (or that is unknown), and then records the new status, except when the
// file is still open for writing: that is retried at the next turn.
bool update_available(ExeSnapshot& snapshot, std::string_view own_stamp);

// The session handed to the successor. Keys, in this order, are its text's.
struct Resume {
  std::optional<nlohmann::json> initialize;
  bool initialized = false;
  std::optional<std::string> account;
  std::uint64_t started = 0;
  std::optional<nlohmann::json> tools;
  bool listed_without_vorn = false;
  bool modern = false;
  std::optional<std::string> client;
  std::vector<nlohmann::json> subscriptions;
  std::optional<std::string> workspace;
};

// The record as one compact JSON object, keys in field order.
std::string resume_text(const Resume& record);

// Decodes a record: an object by key (unknown keys skipped, a repeated key
// refused, missing keys defaulted) or an array of the fields in order.
[[nodiscard]] Result<Resume> decode_resume(std::string_view text);

// The name of the environment variable that carries the record.
inline constexpr const char* kResumeVar = "VORN_MCP_RESUME";

// Replaces the process image with the snapshot's program, given the bridge's
// own arguments and the record in VORN_MCP_RESUME. Returns only on failure,
// with the process and its environment unchanged.
[[nodiscard]] Error exec_update(const ExeSnapshot& snapshot, const Resume& record);

// Takes the record an older copy handed over, removing the variable first.
// A value that is not UTF-8 is left alone; one that does not decode is
// reported on standard error. Must run before any other thread exists.
std::optional<Resume> take_resume();

}  // namespace vorn
