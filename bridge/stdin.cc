#include "bridge/stdin.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

namespace vorn {
namespace {

constexpr std::size_t kReadSize = 8192;

AgentLine line_event(std::string bytes) {
  std::string problem = utf8_error(bytes);
  if (!problem.empty()) return AgentLine{fail(ErrorKind::kInvalidData, std::move(problem))};
  return AgentLine{std::move(bytes)};
}

}  // namespace

std::string utf8_error(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
    }
    // Count the valid bytes of this sequence to report how far it went.
    std::size_t good = 1;
    while (good < len && i + good < n) {
      const unsigned char b = p[i + good];
      const bool ok = good == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
      ++good;
    }
    if (good == len) {
      i += len;
      continue;
    }
    if (i + good == n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
    return "invalid utf-8 sequence of " + std::to_string(good) + " bytes from index " +
           std::to_string(i);
  }
  return {};
}

void send_stdin_closed(EventSender& events) { (void)events.send(StdinClosed{}); }

void stdin_reader(int fd, StdinShared& shared, EventSender& events) {
  char area[kReadSize];
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, -1) < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      {
        std::lock_guard lock(shared.mutex);
        shared.closed = true;
      }
      (void)events.send(AgentLine{fail_errno(saved)});
      return;
    }

    std::unique_lock lock(shared.mutex);
    const ssize_t n = ::read(fd, area, sizeof area);
    if (n < 0) {
      const int saved = errno;
      if (saved == EINTR || saved == EAGAIN) continue;  // the lock goes with the scope
      shared.closed = true;
      lock.unlock();
      (void)events.send(AgentLine{fail_errno(saved)});
      return;
    }
    if (n == 0) {
      std::string last = std::exchange(shared.buffer, {});
      shared.closed = true;
      lock.unlock();
      if (!last.empty()) {
        // The last line keeps whatever it ends with: no newline was seen.
        if (!events.send(line_event(std::move(last)))) return;
      }
      send_stdin_closed(events);
      return;
    }

    std::string& buffer = shared.buffer;
    const std::size_t searched_from = buffer.size();
    buffer.append(area, static_cast<std::size_t>(n));
    std::size_t start = 0;
    std::size_t scan = searched_from;
    for (;;) {
      const std::size_t newline = buffer.find('\n', scan);
      if (newline == std::string::npos) break;
      std::size_t end = newline;
      if (end > start && buffer[end - 1] == '\r') --end;
      AgentLine event = line_event(buffer.substr(start, end - start));
      const bool invalid = !event.line.has_value();
      start = scan = newline + 1;
      ++shared.pending_lines;
      if (!events.send(std::move(event)) || invalid) {
        shared.closed = true;
        buffer.erase(0, start);
        return;
      }
    }
    buffer.erase(0, start);
  }
}

void stdin_reader_thread(int fd, std::shared_ptr<StdinShared> shared, EventSender events) {
  stdin_reader(fd, *shared, events);
}

}  // namespace vorn
