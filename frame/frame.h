// Frame codec: one JSON value per length-prefixed frame.
//
// On the wire a frame is a 4-byte big-endian body length n followed by n
// bytes of compact JSON text. Bodies of up to FRAME_LIMIT bytes are valid in
// both directions. The codec knows nothing of the messages it carries; the
// callers check their shapes.
//
// The reader checks the declared length before it allocates anything, so a
// peer cannot make it allocate more than FRAME_LIMIT bytes for one frame; a
// frame over the limit is refused with its body left unread in the source.
//
// Thread-safe: no shared state; one source is read by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "frame/error.h"
#include "frame/json.h"

namespace vorn {

inline constexpr std::size_t FRAME_LIMIT = 1048576;  // largest body, inclusive

// The encoder's error: the value's text is longer than FRAME_LIMIT.
struct TooLarge {};

using Frame = std::vector<std::uint8_t>;  // header and body

// A byte stream: reads up to buffer.size() bytes into the buffer and returns
// the count (0 once the stream has ended) or an error.
using ByteSource = std::function<Result<std::size_t>(std::span<std::uint8_t>)>;

// Reads one frame. nullopt means the source ended cleanly before the first
// header byte. Errors: kUnexpectedEof (inside the header without a message,
// inside the body "failed to fill whole buffer", or the parser's message),
// kInvalidData ("declared frame exceeds the limit", or the parser's message),
// and any error of the source; kInterrupted is retried only inside the body.
[[nodiscard]] Result<std::optional<Json>> read_frame(const ByteSource& source);

// A borrowed, connected socket whose every read must finish by `deadline`.
struct DeadlineReader {
  int socket;
  std::chrono::steady_clock::time_point deadline;
};

// read_frame over the reader's socket, each receive bounded by the time left
// (set as the socket's receive time-out, which stays set afterwards). A
// passed deadline gives kTimedOut without a message; a receive time-out that
// expires inside the call gives the system's would-block error.
[[nodiscard]] Result<std::optional<Json>> read_frame_deadline(DeadlineReader& reader);
// Fills the whole buffer within the deadline; the body reader of the above.
[[nodiscard]] Status read_exact_deadline(DeadlineReader& reader, std::span<std::uint8_t> buffer);

// The whole frame of `value`, header included, in a buffer of exact size.
[[nodiscard]] std::expected<Frame, TooLarge> encode_frame(const Json& value);

// Encodes and sends `value`. TooLarge becomes kInvalidData
// "frame exceeds the limit" and nothing is sent.
[[nodiscard]] Status write_frame(int socket, const Json& value);

// Sends every byte (MSG_NOSIGNAL, so a closed peer gives EPIPE rather than a
// signal); EINTR is retried; a send that takes nothing gives kWriteZero
// "failed to write whole buffer".
[[nodiscard]] Status send_all(int socket, std::span<const std::uint8_t> bytes);

// Sources over a descriptor that the caller keeps open for the source's
// life: one receive without flags per read, or one read(2) per read. EINTR
// surfaces as kInterrupted. An empty non-blocking descriptor is waited on by
// the fd source.
ByteSource socket_source(int socket);
ByteSource fd_source(int fd);

}  // namespace vorn
