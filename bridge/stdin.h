// The reader threads: the agent's standard input and each browser socket.
//
// Readers turn input into events on the relay loop's channel; they never
// touch the session state. The stdin reader shares one record with the relay
// loop (StdinShared) so that a self-update can tell whether any input has
// been read but not yet handled: it holds the record's lock from each read
// until every complete line of that read is sent, so while the relay loop
// holds the lock no byte leaves the pipe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "bridge/events.h"

namespace vorn {

struct StdinShared {
  std::mutex mutex;
  std::string buffer;               // bytes after the last complete line
  std::uint64_t pending_lines = 0;  // lines sent and not yet taken by the loop
  bool closed = false;              // the reader has stopped for good
};

// The body of the stdin reader thread: reads descriptor `fd` (0 in the
// program) until end of input, a read error, an invalid line or a gone
// receiver.
void stdin_reader(int fd, StdinShared& shared, EventSender& events);
void stdin_reader_thread(int fd, std::shared_ptr<StdinShared> shared, EventSender events);

// Sends StdinClosed; a failed send is ignored.
void send_stdin_closed(EventSender& events);

// The body of one socket reader thread: forwards every frame read from `fd`
// tagged with `generation`, then one ConnectionClosed. Owns and closes `fd`.
void socket_reader(int fd, std::uint64_t generation, EventSender events);

// Where an agent line's bytes stop being UTF-8, as a readable description,
// or empty when all of `bytes` is valid.
std::string utf8_error(std::string_view bytes);

}  // namespace vorn
