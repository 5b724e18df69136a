// Whole reads and writes on descriptors: small files the programs only look
// at (port and credentials files, /proc entries), and output that must leave
// whole.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "frame/error.h"

namespace vorn {

// The whole content of `path` when it holds at most `limit` bytes. A longer
// file, or an endless one such as a link to /dev/zero, fails with
// kInvalidData after at most `limit` + 1 bytes were read, so a look costs no
// more than the bound. The file is opened non-blocking, so a FIFO in its
// place fails with the would-block error instead of waiting for a writer.
[[nodiscard]] Result<std::string> read_whole_file(const std::string& path, std::size_t limit);

// read_whole_file for a file that others can put in place: only a regular
// file is read. Anything else (a FIFO, socket, device, directory, or a link to
// one such as /proc/self/fd/0) fails with kInvalidInput before a byte is
// read, so a link to the program's own pipes cannot take its input or output.
[[nodiscard]] Result<std::string> read_regular_file(const std::string& path, std::size_t limit);

// Writes every byte of `bytes` to `fd`, retrying interrupted and short
// writes; a write that takes nothing gives kWriteZero
// "failed to write whole buffer". A non-blocking descriptor that is full is
// waited on until it takes more, so a reader that hands over a non-blocking
// pipe still gets every byte. A blocking descriptor that reports EAGAIN (a
// socket whose send time-out expired) fails with that error as before.
[[nodiscard]] Status write_all(int fd, std::string_view bytes);

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT) after a read or
// write said EAGAIN. Only a non-blocking descriptor is waited on: on a
// blocking one EAGAIN means that its time-out expired, and that stays an
// error.
[[nodiscard]] Status wait_ready(int fd, short events);

// Opens /dev/null on each of the three standard descriptors that is closed,
// so that no file or socket opened later takes its number and receives the
// program's protocol by mistake. Fails only when /dev/null cannot be put in
// place.
[[nodiscard]] Status open_missing_standard_streams();

}  // namespace vorn
