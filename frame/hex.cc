#include "frame/hex.h"

namespace vorn {

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  out.reserve(out.size() + bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0x0f]);
  }
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

std::string to_hex(std::string_view bytes) {
  return to_hex(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace vorn
