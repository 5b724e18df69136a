// The folder service's session: hello exchange, request loop, and the two
// helper threads (stdin reader, deadline watchdog).
//
// The main thread owns all file work and every write to standard output. The
// reader thread hands decoded values over a one-slot channel and ends the
// process itself at the end of input (0) or on a broken frame (3); the
// watchdog ends it (6) when one request runs past the session's time limit.
// Neither tells the main thread: nothing is unwound, nothing is flushed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>

#include "folder/context.h"
#include "frame/error.h"
#include "frame/json.h"

namespace vorn::folder {

inline constexpr std::string_view BUILD_STAMP = "20261106100303";

// Longest time one request may take, and the default when the hello sets none.
inline constexpr std::int64_t MAX_LIMIT_MS = 21'000;

// Exit statuses.
inline constexpr int EXIT_END_OF_INPUT = 0;
inline constexpr int EXIT_BAD_USAGE = 2;  // usage error or bad hello
inline constexpr int EXIT_BROKEN_STREAM = 3;
inline constexpr int EXIT_WATCHDOG = 6;

// Shared by the main thread (sets and clears the deadline) and the watchdog
// thread (holds the mutex except while waiting).
struct Watchdog {
  std::mutex mutex;
  std::optional<timespec> deadline;  // CLOCK_MONOTONIC; absent while idle
  std::condition_variable cond;
};

// Runs the whole session on standard input and output. Returns 0 when the
// channel closes and 2 for a bad hello; statuses 0, 3 and 6 can also end the
// process from inside through hard_exit.
[[nodiscard]] int serve(std::string request_dir);

// Ends the process at once: no unwinding, no exit handlers, no flushing.
[[noreturn]] void hard_exit(int status);

// The frame for one answer; an answer too large for a frame is replaced by
// the "too-large"/"ResponseTooLarge" refusal carrying the answer's id.
[[nodiscard]] std::vector<std::uint8_t> encode_answer(const Json& answer);

// The time limit a hello grants, in milliseconds (1 to 21,000).
[[nodiscard]] std::int64_t limit_from_hello(const Json& hello);
// Whether a value is an acceptable hello ({"hello": integer >= 1}).
[[nodiscard]] bool is_valid_hello(const Json& hello);

// Body of the watchdog thread; never returns while the process lives.
void deadline_watchdog(std::shared_ptr<Watchdog> watchdog);

}  // namespace vorn::folder
