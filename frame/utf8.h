// UTF-8 checks shared by both programs for bytes that come from the system
// (paths, file names, arguments) and must travel as JSON text.
//
// Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn {

// Length of the well-formed UTF-8 sequence at `text[i]`, or, as a negative
// number, the length of its maximal ill-formed subpart (at least 1 byte).
// Overlong forms, surrogates and values above U+10FFFF are ill-formed.
int utf8_sequence(std::string_view text, std::size_t i);

// `bytes` as UTF-8 text: each maximal ill-formed subpart becomes one U+FFFD,
// the way the writers of other platforms repair text.
std::string lossy_utf8(std::string_view bytes);

}  // namespace vorn
