#include "folder/serve.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "folder/paths.h"
#include "folder/request.h"
#include "frame/file.h"
#include "frame/frame.h"

namespace vorn::folder {
namespace {

// A one-slot hand-over from the reader thread to the main thread. A send
// blocks while a value waits; a receive blocks until a value comes or the
// sender has gone.
class RequestChannel {
 public:
  // False when the receiver has gone; the value is then dropped.
  bool send(Json value) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !slot_ || receiver_gone_; });
    if (receiver_gone_) return false;
    slot_ = std::move(value);
    changed_.notify_all();
    return true;
  }

  // No value when the sender has gone and nothing waits.
  std::optional<Json> receive() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slot_ || sender_gone_; });
    if (!slot_) return std::nullopt;
    std::optional<Json> value = std::exchange(slot_, std::nullopt);
    changed_.notify_all();
    return value;
  }

  void close_sender() {
    std::lock_guard lock(mutex_);
    sender_gone_ = true;
    changed_.notify_all();
  }

  void close_receiver() {
    std::lock_guard lock(mutex_);
    receiver_gone_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Json> slot_;
  bool sender_gone_ = false;
  bool receiver_gone_ = false;
};

// Writes the whole buffer to standard output, waiting while a non-blocking
// one is full; any failure ends the process, a closed pipe included (SIGPIPE
// is ignored, so it shows as EPIPE).
void write_stdout_or_exit(const std::vector<std::uint8_t>& bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!write_all(STDOUT_FILENO, text)) hard_exit(EXIT_BROKEN_STREAM);
}

[[noreturn]] void stop(const char* what) {
  std::fprintf(stderr, "vorn-folder: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

std::vector<std::uint8_t> encode_small(const Json& value, const char* what) {
  auto frame = encode_frame(value);
  if (!frame) stop(what);
  return std::move(*frame);
}

template <typename Body>
void spawn(Body body) {
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error&) {
    stop("failed to spawn thread");
  }
}

void request_reader(RequestChannel& channel) {
  // Frames are read whole (header, then the exact body), so an unbuffered
  // source costs two reads per frame and never holds a byte past the frame.
  ByteSource source = fd_source(STDIN_FILENO);
  for (;;) {
    auto frame = read_frame(source);
    if (!frame) hard_exit(EXIT_BROKEN_STREAM);
    if (!*frame) hard_exit(EXIT_END_OF_INPUT);
    if (!channel.send(std::move(**frame))) break;
  }
  channel.close_sender();
}

timespec monotonic_now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec add_ms(timespec t, std::int64_t ms) {
  t.tv_sec += ms / 1000;
  t.tv_nsec += (ms % 1000) * 1'000'000;
  if (t.tv_nsec >= 1'000'000'000) {
    t.tv_sec += 1;
    t.tv_nsec -= 1'000'000'000;
  }
  return t;
}

bool reached(const timespec& now, const timespec& deadline) {
  if (now.tv_sec != deadline.tv_sec) return now.tv_sec > deadline.tv_sec;
  return now.tv_nsec >= deadline.tv_nsec;
}

std::chrono::nanoseconds until(const timespec& now, const timespec& deadline) {
  return std::chrono::seconds(deadline.tv_sec - now.tv_sec) +
         std::chrono::nanoseconds(deadline.tv_nsec - now.tv_nsec);
}

void set_deadline(Watchdog& watchdog, std::optional<timespec> deadline) {
  {
    std::lock_guard lock(watchdog.mutex);
    watchdog.deadline = deadline;
  }
  watchdog.cond.notify_one();
}

}  // namespace

void hard_exit(int status) { _exit(status); }

bool is_valid_hello(const Json& hello) {
  if (!hello.is_object()) return false;
  auto it = hello.find("hello");
  if (it == hello.end()) return false;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>() >= 1;
  if (it->is_number_integer()) return it->get<std::int64_t>() >= 1;
  return false;
}

std::int64_t limit_from_hello(const Json& hello) {
  if (!hello.is_object()) return MAX_LIMIT_MS;
  auto it = hello.find("exitAfterMs");
  if (it == hello.end() || !it->is_number()) return MAX_LIMIT_MS;
  double x = it->get<double>();
  if (!(x > 0) || !std::isfinite(x)) return MAX_LIMIT_MS;
  if (x >= static_cast<double>(MAX_LIMIT_MS)) return MAX_LIMIT_MS;
  auto ms = static_cast<std::int64_t>(x);
  return ms == 0 ? 1 : ms;
}

std::vector<std::uint8_t> encode_answer(const Json& answer) {
  auto frame = encode_frame(answer);
  if (frame) return std::move(*frame);
  Json refusal = make_refusal("too-large", "ResponseTooLarge");
  auto id = answer.is_object() ? answer.find("id") : answer.end();
  refusal["id"] = (answer.is_object() && id != answer.end()) ? *id : Json(nullptr);
  return encode_small(refusal, "a refusal is small: TooLarge");
}

void deadline_watchdog(std::shared_ptr<Watchdog> watchdog) {
  std::unique_lock lock(watchdog->mutex);
  for (;;) {
    if (!watchdog->deadline) {
      watchdog->cond.wait(lock);
      continue;
    }
    timespec now = monotonic_now();
    if (reached(now, *watchdog->deadline)) hard_exit(EXIT_WATCHDOG);
    watchdog->cond.wait_for(lock, until(now, *watchdog->deadline));
  }
}

int serve(std::string request_dir) {
  // Shared with the detached reader thread, which may outlive this call.
  auto channel = std::make_shared<RequestChannel>();
  spawn([channel] { request_reader(*channel); });

  std::optional<Json> hello = channel->receive();
  if (!hello || !is_valid_hello(*hello)) {
    channel->close_receiver();
    return EXIT_BAD_USAGE;
  }
  std::int64_t limit_ms = limit_from_hello(*hello);
  hello.reset();

  Json answer = {{"build", std::string(BUILD_STAMP)}, {"hello", 1}};
  write_stdout_or_exit(encode_small(answer, "a hello is small: TooLarge"));

  auto watchdog = std::make_shared<Watchdog>();
  spawn([watchdog] { deadline_watchdog(watchdog); });

  ServeContext context{std::move(request_dir)};
  for (;;) {
    std::optional<Json> request = channel->receive();
    if (!request) return EXIT_END_OF_INPUT;
    set_deadline(*watchdog, add_ms(monotonic_now(), limit_ms));
    std::vector<std::uint8_t> bytes = encode_answer(handle_request(context, *request));
    write_stdout_or_exit(bytes);
    set_deadline(*watchdog, std::nullopt);
  }
}

}  // namespace vorn::folder
