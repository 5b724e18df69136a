// Whole reads and writes on descriptors: small files the programs only look
// at (port and credentials files, /proc entries), and output that must leave
// whole.
//
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "frame/error.h"

namespace vorn {

// The whole content of `path`. The file is opened non-blocking, so a FIFO in
// its place fails with the would-block error instead of waiting for a
// writer.
[[nodiscard]] Result<std::string> read_whole_file(const std::string& path);

// Writes every byte of `bytes` to `fd`, retrying interrupted and short
// writes; a write that takes nothing gives kWriteZero
// "failed to write whole buffer".
[[nodiscard]] Status write_all(int fd, std::string_view bytes);

// Opens /dev/null on each of the three standard descriptors that is closed,
// so that no file or socket opened later takes its number and receives the
// program's protocol by mistake. Fails only when /dev/null cannot be put in
// place.
[[nodiscard]] Status open_missing_standard_streams();

}  // namespace vorn
