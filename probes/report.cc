#include "probes/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vorn {

bool probe_debug = false;
ProbeReport probe_report;

namespace {

// Resizes the block; on failure the report keeps its old block and size.
bool grow_report(ProbeReport& report, int64_t new_capacity) {
  if (new_capacity > INT32_MAX) return false;
  void* block = std::realloc(report.data, static_cast<size_t>(new_capacity));
  if (block == nullptr) return false;
  report.data = static_cast<char*>(block);
  report.capacity = static_cast<int32_t>(new_capacity);
  return true;
}

// The probes ignore the outcome of their writes: there is nobody to tell.
void write_all_once(int fd, const char* data, int32_t len) {
  ssize_t written = ::write(fd, data, static_cast<size_t>(len));
  (void)written;
}

}  // namespace

bool debug_switch_on(const char* value) { return value != nullptr && value[0] == '1'; }

void init_probe_output() {
  probe_debug = debug_switch_on(std::getenv("ZAX_GFX_DEBUG"));
  if (!probe_debug) silence_stderr();
}

void silence_stderr() {
  int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  // Every slot below the new descriptor is taken; pointing them all at
  // /dev/null keeps a driver from writing into whatever the parent left open.
  for (int fd = 2; fd < null_fd; ++fd) ::dup2(null_fd, fd);
  if (null_fd >= 0) ::close(null_fd);
}

void probe_log(const char* format, ...) {
  if (!probe_debug) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void report_record(const char* format, ...) {
  ProbeReport& report = probe_report;
  if (report.data == nullptr || report.len + kRecordRoom > report.capacity) {
    if (!grow_report(report, int64_t{report.capacity} + kReportGrowth) && report.data == nullptr) {
      return;
    }
  }
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int32_t room = report.capacity - report.len;
  int length = std::vsnprintf(report.data + report.len, static_cast<size_t>(room), format, args);
  if (length >= room) {
    // Only a record longer than the room kept for it gets here; a cut record
    // would break the key/value lines, so it is kept whole or not at all.
    if (grow_report(report, int64_t{report.len} + length + 1)) {
      length = std::vsnprintf(report.data + report.len,
                              static_cast<size_t>(report.capacity - report.len), format, again);
    } else {
      length = -1;
    }
  }
  if (length > 0) report.len += length;
  va_end(again);
  va_end(args);
}

void write_report() {
  ProbeReport& report = probe_report;
  if (report.data == nullptr) return;
  write_all_once(STDOUT_FILENO, report.data, report.len);
  if (probe_debug) write_all_once(STDERR_FILENO, report.data, report.len);
  std::free(report.data);
  report = ProbeReport{};
}

}  // namespace vorn
