#include "frame/frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "frame/file.h"

namespace vorn {
namespace {

constexpr std::size_t kHeaderSize = 4;

// One frame from any reader with the ByteSource signature. A template so
// that the deadline reader needs no std::function in between.
template <typename ReadFn>
Result<std::optional<Json>> read_frame_from(ReadFn&& read) {
  std::uint8_t header[kHeaderSize];
  std::size_t have = 0;
  while (have < kHeaderSize) {
    // Any error here ends the read, an interruption included: the caller
    // may be waiting for a signal between frames.
    std::size_t count = TRY(read(std::span<std::uint8_t>(header + have, kHeaderSize - have)));
    if (count == 0) {
      if (have == 0) return std::optional<Json>();
      return fail(ErrorKind::kUnexpectedEof);
    }
    have += count;
  }
  std::uint32_t length = std::uint32_t{header[0]} << 24 | std::uint32_t{header[1]} << 16 |
                         std::uint32_t{header[2]} << 8 | std::uint32_t{header[3]};
  // Checked before anything is allocated or read.
  if (length > FRAME_LIMIT) return fail(ErrorKind::kInvalidData, "declared frame exceeds the limit");

  std::string body(length, '\0');
  auto bytes = reinterpret_cast<std::uint8_t*>(body.data());
  std::size_t filled = 0;
  while (filled < length) {
    auto count = read(std::span<std::uint8_t>(bytes + filled, length - filled));
    if (!count) {
      if (count.error().kind == ErrorKind::kInterrupted) continue;
      return fail(std::move(count).error());
    }
    if (*count == 0) return fail(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
    filled += *count;
  }
  Json value = TRY(parse_json(body));
  return std::optional<Json>(std::move(value));
}

// One receive on the reader's socket, bounded by the time left.
Result<std::size_t> deadline_read(DeadlineReader& reader, std::span<std::uint8_t> buffer) {
  auto remaining = reader.deadline - std::chrono::steady_clock::now();
  if (remaining <= std::chrono::steady_clock::duration::zero()) return fail(ErrorKind::kTimedOut);
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(remaining).count();
  if (micros < 1) micros = 1;
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(micros / 1'000'000);
  timeout.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
  if (::setsockopt(reader.socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return fail_errno(errno);
  }
  // An expired time-out shows as EAGAIN, kept as the would-block error.
  ssize_t got = ::recv(reader.socket, buffer.data(), buffer.size(), 0);
  if (got < 0) return fail_errno(errno);
  return static_cast<std::size_t>(got);
}

}  // namespace

Result<std::optional<Json>> read_frame(const ByteSource& source) {
  return read_frame_from(source);
}

Result<std::optional<Json>> read_frame_deadline(DeadlineReader& reader) {
  return read_frame_from(
      [&reader](std::span<std::uint8_t> buffer) { return deadline_read(reader, buffer); });
}

Status read_exact_deadline(DeadlineReader& reader, std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto count = deadline_read(reader, buffer.subspan(filled));
    if (!count) {
      if (count.error().kind == ErrorKind::kInterrupted) continue;
      return fail(std::move(count).error());
    }
    if (*count == 0) return fail(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
    filled += *count;
  }
  return {};
}

std::expected<Frame, TooLarge> encode_frame(const Json& value) {
  std::string text = write_json(value);
  std::size_t n = text.size();
  if (n > FRAME_LIMIT) return std::unexpected(TooLarge{});
  const std::uint8_t header[kHeaderSize] = {
      static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
      static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  // Filled by copying only, not zeroed first: a 1 MiB body would pay twice.
  Frame frame;
  frame.reserve(kHeaderSize + n);
  frame.insert(frame.end(), header, header + kHeaderSize);
  frame.insert(frame.end(), text.begin(), text.end());
  return frame;
}

Status write_frame(int socket, const Json& value) {
  auto frame = encode_frame(value);
  if (!frame) return fail(ErrorKind::kInvalidData, "frame exceeds the limit");
  return send_all(socket, *frame);
}

Status send_all(int socket, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (sent == 0) return fail(ErrorKind::kWriteZero, "failed to write whole buffer");
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return {};
}

ByteSource socket_source(int socket) {
  return [socket](std::span<std::uint8_t> buffer) -> Result<std::size_t> {
    ssize_t got = ::recv(socket, buffer.data(), buffer.size(), 0);
    if (got < 0) return fail_errno(errno);
    return static_cast<std::size_t>(got);
  };
}

ByteSource fd_source(int fd) {
  return [fd](std::span<std::uint8_t> buffer) -> Result<std::size_t> {
    for (;;) {
      ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got >= 0) return static_cast<std::size_t>(got);
      // A partner may hand over a non-blocking pipe: an empty one is waited
      // on, not taken for a broken stream.
      if (errno != EAGAIN) return fail_errno(errno);
      TRY(wait_ready(fd, POLLIN));
    }
  };
}

}  // namespace vorn
