// Random bytes from the system, for challenges and temporary file names.
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <span>

#include "frame/error.h"

namespace vorn {

// Fills `out` from getrandom (repeated when interrupted), or from
// /dev/urandom when the system call is missing or not permitted.
[[nodiscard]] Status fill_random(std::span<std::uint8_t> out);

}  // namespace vorn
