#include "frame/utf8.h"

namespace vorn {

int utf8_sequence(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return -k;
    unsigned char b = byte(i + k);
    // Only the second byte has a narrowed range; later ones are plain
    // continuation bytes.
    unsigned char low = k == 1 ? lo : 0x80, high = k == 1 ? hi : 0xBF;
    if (b < low || b > high) return -k;
  }
  return need + 1;
}

std::string lossy_utf8(std::string_view bytes) {
  // Names are nearly always valid; copy them unchanged in one step then.
  size_t i = 0;
  while (i < bytes.size()) {
    int len = utf8_sequence(bytes, i);
    if (len < 0) break;
    i += static_cast<size_t>(len);
  }
  if (i == bytes.size()) return std::string(bytes);
  std::string text(bytes.substr(0, i));
  while (i < bytes.size()) {
    int len = utf8_sequence(bytes, i);
    if (len > 0) {
      text.append(bytes.substr(i, static_cast<size_t>(len)));
      i += static_cast<size_t>(len);
    } else {
      text += "\xEF\xBF\xBD";
      i += static_cast<size_t>(-len);
    }
  }
  return text;
}

}  // namespace vorn
