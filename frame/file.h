// Whole-file reads of small files the programs only look at (port and
// credentials files, /proc entries).
//
// Thread-safe.
#pragma once

#include <string>

#include "frame/error.h"

namespace vorn {

// The whole content of `path`. The file is opened non-blocking, so a FIFO in
// its place fails with the would-block error instead of waiting for a
// writer.
[[nodiscard]] Result<std::string> read_whole_file(const std::string& path);

}  // namespace vorn
