// Hex text of bytes: two lowercase hex digits per byte, high digit first, no
// separators. Random tokens, digests and proofs travel this way.
//
// Thread-safe: pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorn {

std::string to_hex(std::span<const std::uint8_t> bytes);
std::string to_hex(std::string_view bytes);
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace vorn
