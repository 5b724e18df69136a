// Report routines shared by the video-decode probes.
//
// A probe tells the browser what it found only through key/value records on
// standard output ("VAAPI_SUPPORTED\nTRUE\n"), gathered in one buffer and
// written in a single call at exit, so a reader never sees half a report.
// Standard error carries debug lines only when ZAX_GFX_DEBUG starts with "1";
// otherwise it is pointed at /dev/null before any driver gets a chance to
// chatter on it.
//
// Not thread-safe: the probes are single-threaded and the state is global.
#pragma once

#include <cstdint>

namespace vorn {

// Codec bitmask shared by both reports. An encode bit is always the decode
// bit of the same codec shifted left by one.
inline constexpr int32_t kCodecH264Decode = 0x10;
inline constexpr int32_t kCodecH264Encode = 0x20;
inline constexpr int32_t kCodecVp8Decode = 0x40;
inline constexpr int32_t kCodecVp8Encode = 0x80;
inline constexpr int32_t kCodecVp9Decode = 0x100;
inline constexpr int32_t kCodecVp9Encode = 0x200;
inline constexpr int32_t kCodecAv1Decode = 0x400;
inline constexpr int32_t kCodecAv1Encode = 0x800;
inline constexpr int32_t kCodecHevcDecode = 0x1000;
inline constexpr int32_t kCodecHevcEncode = 0x2000;

// Room kept free for each record; the block grows by twice that.
inline constexpr int32_t kRecordRoom = 2000;
inline constexpr int32_t kReportGrowth = 4000;

struct ProbeReport {
  char* data = nullptr;  // heap block, not NUL-terminated for output
  int32_t len = 0;       // bytes in use
  int32_t capacity = 0;  // size of the block
};

// Set once by init_probe_output.
extern bool probe_debug;
// The one report of this process.
extern ProbeReport probe_report;

// Whether a value of ZAX_GFX_DEBUG turns debugging on (it starts with "1").
bool debug_switch_on(const char* value);

// Reads ZAX_GFX_DEBUG; silences standard error unless debugging.
void init_probe_output();

// Points descriptor 2, and every descriptor between it and the one /dev/null
// is opened on, at /dev/null.
void silence_stderr();

// A debug line on standard error; nothing unless debugging.
void probe_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends one record; the format carries both lines and their line feeds.
void report_record(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the report to standard output (and a copy to standard error when
// debugging) in one call each, then frees it. No record: nothing written.
void write_report();

}  // namespace vorn
