#include "frame/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace vorn {
namespace {

// The deepest nesting the parser accepts is one less than this budget: the
// container that would spend the last unit is refused. 127 levels of
// recursion are far from overflowing any thread's stack.
constexpr int kDepthBudget = 128;

enum class Code {
  kEofList,
  kEofObject,
  kEofString,
  kEofValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedIdent,
  kExpectedValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidCodePoint,
  kControlCharacter,
  kKeyMustBeString,
  kLoneLeadingSurrogate,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimit,
  kCustom,  // a typed-decoding message
};

std::string_view code_text(Code code) {
  switch (code) {
    case Code::kEofList: return "EOF while parsing a list";
    case Code::kEofObject: return "EOF while parsing an object";
    case Code::kEofString: return "EOF while parsing a string";
    case Code::kEofValue: return "EOF while parsing a value";
    case Code::kExpectedColon: return "expected `:`";
    case Code::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Code::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Code::kExpectedIdent: return "expected ident";
    case Code::kExpectedValue: return "expected value";
    case Code::kInvalidEscape: return "invalid escape";
    case Code::kInvalidNumber: return "invalid number";
    case Code::kNumberOutOfRange: return "number out of range";
    case Code::kInvalidCodePoint: return "invalid unicode code point";
    case Code::kControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Code::kKeyMustBeString: return "key must be a string";
    case Code::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case Code::kTrailingComma: return "trailing comma";
    case Code::kTrailingCharacters: return "trailing characters";
    case Code::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Code::kRecursionLimit: return "recursion limit exceeded";
    case Code::kCustom: break;
  }
  return "";
}

bool is_eof_code(Code code) {
  return code == Code::kEofList || code == Code::kEofObject || code == Code::kEofString ||
         code == Code::kEofValue;
}

// ---------------------------------------------------------------------------
// Eight string bytes at a time

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The high bit of each byte of `w` that is '"', '\\' or below 0x20. Bits
// above the lowest may be set spuriously (borrows run upwards), so only
// "any" and "the first" are meaningful; the first is the lowest because
// loads are little-endian.
static_assert(std::endian::native == std::endian::little);
inline std::uint64_t string_stops(std::uint64_t w) {
  std::uint64_t quote = w ^ (kOnes * '"'), backslash = w ^ (kOnes * '\\');
  return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
          ((backslash - kOnes) & ~backslash)) &
         kHighs;
}

// ---------------------------------------------------------------------------
// UTF-8

// Length of the well-formed sequence at p (1..4), or 0 when the bytes there
// do not start one. `*bad` receives the length of the maximal ill-formed
// prefix (at least 1) so that a lossy writer replaces it with one U+FFFD.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end, std::size_t* bad) {
  unsigned char c = p[0];
  std::size_t avail = static_cast<std::size_t>(end - p);
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *bad = 1;
    return 0;
  }
  std::size_t i = 1;
  for (; i < need; ++i) {
    if (i >= avail) break;
    unsigned char b = p[i];
    unsigned char l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
    if (b < l || b > h) break;
  }
  if (i == need) return need;
  *bad = i;
  return 0;
}

bool valid_utf8(std::string_view s) {
  auto p = reinterpret_cast<const unsigned char*>(s.data());
  auto end = p + s.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::size_t bad = 0;
    std::size_t n = utf8_sequence(p, end, &bad);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// ---------------------------------------------------------------------------
// Numbers

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(r.ptr - buffer));
}

// Doubles in their shortest round-trip form: plain decimals for moderate
// magnitudes ("1.0", "0.001", "1000000000000000.0"), exponent form beyond
// ("1e16", "1.5e-7").

void append_double(std::string& out, double value) {
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  char sci[32];
  auto r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  std::string_view text(sci, static_cast<std::size_t>(r.ptr - sci));
  bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  std::size_t e_pos = text.find('e');
  std::string_view mantissa = text.substr(0, e_pos);
  int exponent = 0;
  std::from_chars(text.data() + e_pos + 1 + (text[e_pos + 1] == '+'), text.data() + text.size(),
                  exponent);
  char digits[24];
  int length = 0;
  for (char c : mantissa) {
    if (c != '.') digits[length++] = c;
  }
  int kk = exponent + 1;  // position of the decimal point after the first digit
  if (negative) out += '-';
  if (length <= kk && kk <= 16) {
    out.append(digits, static_cast<std::size_t>(length));
    out.append(static_cast<std::size_t>(kk - length), '0');
    out += ".0";
  } else if (0 < kk && kk <= 16) {
    out.append(digits, static_cast<std::size_t>(kk));
    out += '.';
    out.append(digits + kk, static_cast<std::size_t>(length - kk));
  } else if (-5 < kk && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out.append(digits, static_cast<std::size_t>(length));
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out.append(digits + 1, static_cast<std::size_t>(length - 1));
    }
    out += 'e';
    append_integer(out, kk - 1);
  }
}

// ---------------------------------------------------------------------------
// Writer

constexpr char kHex[] = "0123456789abcdef";

// What follows the backslash in the escape of each byte below 0x20 and of
// '"' and '\\': a letter, or 'u' for the \u00XX form.
constexpr auto kEscapeLetter = [] {
  std::array<char, 128> letters{};
  for (int c = 0; c < 0x20; ++c) letters[c] = 'u';
  letters['"'] = '"';
  letters['\\'] = '\\';
  letters['\b'] = 'b';
  letters['\f'] = 'f';
  letters['\n'] = 'n';
  letters['\r'] = 'r';
  letters['\t'] = 't';
  return letters;
}();

// A string's escaped form is written straight into the output buffer, a
// stretch at a time: each stretch is given room for the rest of the string
// plus a little for escapes, and stops short when escapes use that up.
// Runs of printable ASCII other than '"' and '\\' are copied eight bytes at
// a time, well-formed UTF-8 as it stands; only the bytes in between are
// looked at one by one. A member key comes with the punctuation around it
// (`before` and `after`, 0 for none) to spare two more appends.
void append_string(std::string& out, std::string_view s, char before = 0, char after = 0) {
  auto p = reinterpret_cast<const unsigned char*>(s.data());
  auto end = p + s.size();
  // An escape takes at most 6 bytes and a fast step writes 8, so a step
  // starts only with this much room left (the closing quote included).
  constexpr std::size_t kStepRoom = 16;
  constexpr std::size_t kEnds = 4;  // quotes and punctuation
  bool first = true;
  do {
    std::size_t used = out.size();
    std::size_t left = static_cast<std::size_t>(end - p);
    std::size_t want = used + left + left / 16 + kStepRoom + kEnds;
    out.resize_and_overwrite(want, [&](char* buffer, std::size_t size) {
      auto o = reinterpret_cast<unsigned char*>(buffer + used);
      auto stop = reinterpret_cast<unsigned char*>(buffer + size - kStepRoom);
      if (first) {
        if (before != 0) *o++ = static_cast<unsigned char>(before);
        *o++ = '"';
      }
      while (p < end && o <= stop) {
        unsigned char c;
        if (end - p >= 8) {
          std::uint64_t w = load8(p);
          std::memcpy(o, &w, 8);  // the plain prefix of it is kept
          std::uint64_t special = string_stops(w) | (w & kHighs);
          if (special == 0) {
            p += 8;
            o += 8;
            continue;
          }
          std::size_t plain = static_cast<std::size_t>(std::countr_zero(special)) / 8;
          p += plain;
          o += plain;
          c = *p;
        } else {
          c = *p;
          if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            *o++ = c;
            ++p;
            continue;
          }
        }
        if (c >= 0x80) {
          std::size_t bad = 0;
          std::size_t n = utf8_sequence(p, end, &bad);
          if (n != 0) {
            for (std::size_t i = 0; i < n; ++i) *o++ = *p++;
          } else {
            std::memcpy(o, "\xEF\xBF\xBD", 3);
            o += 3;
            p += bad;
          }
          continue;
        }
        ++p;
        *o++ = '\\';
        char letter = kEscapeLetter[c];
        if (letter != 'u') {
          *o++ = static_cast<unsigned char>(letter);
        } else {
          std::memcpy(o, "u00", 3);
          o[3] = static_cast<unsigned char>(kHex[c >> 4]);
          o[4] = static_cast<unsigned char>(kHex[c & 0xF]);
          o += 5;
        }
      }
      if (p == end) {
        *o++ = '"';
        if (after != 0) *o++ = static_cast<unsigned char>(after);
      }
      return static_cast<std::size_t>(reinterpret_cast<char*>(o) - buffer);
    });
    first = false;
  } while (p < end);
}

void write_value(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: {
      const auto& members = value.get_ref<const Json::object_t&>();
      if (members.empty()) {
        out.append("{}", 2);
        return;
      }
      char before = '{';
      for (const auto& [key, member] : members) {
        append_string(out, key, before, ':');
        before = ',';
        write_value(out, member);
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& element : value.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        write_value(out, element);
      }
      out += ']';
      return;
    }
    case Json::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::boolean:
      if (value.get<bool>()) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      return;
    case Json::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return;
    case Json::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case Json::value_t::number_float: {
      double d = value.get<double>();
      if (std::isfinite(d)) {
        append_double(out, d);
      } else {
        out += "null";
      }
      return;
    }
    case Json::value_t::null:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      out += "null";
      return;
  }
}

// ---------------------------------------------------------------------------
// Describing values the way the conventional type errors do.

// "\u{1f}": how the messages show a character that cannot be printed.
void append_braced_hex(std::string& out, unsigned value) {
  char hex[8];
  auto r = std::to_chars(hex, hex + sizeof hex, value, 16);
  out += "\\u{";
  out.append(hex, static_cast<std::size_t>(r.ptr - hex));
  out += '}';
}

void append_debug_string(std::string& out, std::string_view s) {
  out += '"';
  auto p = reinterpret_cast<const unsigned char*>(s.data());
  auto end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    if (c >= 0x80) {
      std::size_t bad = 0;
      std::size_t n = utf8_sequence(p, end, &bad);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        p += bad;
        continue;
      }
      if (n == 2 && c == 0xC2 && p[1] < 0xA0) {  // C1 controls are not printable
        append_braced_hex(out, p[1]);
      } else {
        out.append(reinterpret_cast<const char*>(p), n);
      }
      p += n;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\0': out += "\\0"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          append_braced_hex(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++p;
  }
  out += '"';
}

std::string_view kind_expected(FieldKind kind) {
  switch (kind) {
    case FieldKind::kBool: return "a boolean";
    case FieldKind::kString:
    case FieldKind::kOptionalString: return "a string";
    case FieldKind::kU64: return "u64";
    case FieldKind::kArray: return "a sequence";
    case FieldKind::kAny: break;
  }
  return "any valid JSON value";
}

// The message refusing `value` for a field of `kind`; empty when accepted.
std::string field_refusal(const Json& value, FieldKind kind) {
  switch (kind) {
    case FieldKind::kAny: return {};
    case FieldKind::kBool:
      if (value.is_boolean()) return {};
      break;
    case FieldKind::kOptionalString:
      if (value.is_null()) return {};
      [[fallthrough]];
    case FieldKind::kString:
      if (value.is_string()) return {};
      break;
    case FieldKind::kU64:
      if (value.is_number_unsigned()) return {};
      if (value.is_number_integer()) {
        // A negative integer is the right type with a wrong value.
        return "invalid value: " + describe_json(value) + ", expected u64";
      }
      break;
    case FieldKind::kArray:
      if (value.is_array()) return {};
      break;
  }
  return invalid_type_text(value, kind_expected(kind));
}

// ---------------------------------------------------------------------------
// Parser

struct ParseError {
  Code code;
  std::size_t index;     // bytes consumed when the error was found
  std::string message;   // for kCustom
};

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(reinterpret_cast<const unsigned char*>(text.data())),
        p_(begin_),
        end_(begin_ + text.size()) {}

  Result<Json> parse_document() {
    Json value;
    if (!parse_value(value) || !finish()) return fail(error());
    return value;
  }

  Result<RecordFields> parse_record(std::string_view name, std::span<const RecordField> fields) {
    RecordFields out(fields.size());
    if (!record(name, fields, out) || !finish()) return fail(error());
    return out;
  }

 private:
  // -- errors ---------------------------------------------------------------
  // Errors found by looking at the next byte count that byte as consumed.
  bool fail_at(Code code) {
    error_ = ParseError{code, index(), {}};
    return false;
  }
  bool fail_peek(Code code) {
    error_ = ParseError{code, std::min(index() + 1, size()), {}};
    return false;
  }
  bool fail_custom(std::string message) {
    error_ = ParseError{Code::kCustom, index(), std::move(message)};
    return false;
  }

  Error error() const {
    std::size_t line = 1, column = 0;
    for (const unsigned char* q = begin_; q < begin_ + error_.index; ++q) {
      if (*q == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    std::string text = error_.code == Code::kCustom ? error_.message
                                                     : std::string(code_text(error_.code));
    text += " at line ";
    text += std::to_string(line);
    text += " column ";
    text += std::to_string(column);
    return Error::make(is_eof_code(error_.code) ? ErrorKind::kUnexpectedEof : ErrorKind::kInvalidData,
                       std::move(text));
  }

  std::size_t index() const { return static_cast<std::size_t>(p_ - begin_); }
  std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }

  // -- lexing ---------------------------------------------------------------
  // Skips white space; returns the next byte or -1 at the end.
  int peek_nonspace() {
    while (p_ < end_) {
      unsigned char c = *p_;
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      ++p_;
    }
    return -1;
  }

  bool finish() {
    if (peek_nonspace() >= 0) return fail_peek(Code::kTrailingCharacters);
    return true;
  }

  bool ident(const char* rest) {
    for (; *rest != '\0'; ++rest) {
      if (p_ == end_) return fail_at(Code::kEofValue);
      if (*p_++ != static_cast<unsigned char>(*rest)) return fail_at(Code::kExpectedIdent);
    }
    return true;
  }

  bool enter() {
    if (--depth_ == 0) return fail_peek(Code::kRecursionLimit);
    ++p_;
    return true;
  }

  // -- values ---------------------------------------------------------------
  bool parse_value(Json& out) {
    int c = peek_nonspace();
    switch (c) {
      case -1: return fail_peek(Code::kEofValue);
      case 'n':
        ++p_;
        if (!ident("ull")) return false;
        out = nullptr;
        return true;
      case 't':
        ++p_;
        if (!ident("rue")) return false;
        out = true;
        return true;
      case 'f':
        ++p_;
        if (!ident("alse")) return false;
        out = false;
        return true;
      case '"': {
        ++p_;
        out = Json::value_t::string;
        return parse_string(out.get_ref<std::string&>());
      }
      case '[': return parse_array(out);
      case '{': return parse_object(out);
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return parse_number(out);
      default: return fail_peek(Code::kExpectedValue);
    }
  }

  // Inside brackets: is another element there? Consumes the comma.
  bool next_element(bool& first, bool& more) {
    int c = peek_nonspace();
    if (c < 0) return fail_peek(Code::kEofList);
    if (c == ']') {
      more = false;
      return true;
    }
    if (first) {
      first = false;
      more = true;
      return true;
    }
    if (c != ',') return fail_peek(Code::kExpectedListCommaOrEnd);
    ++p_;
    c = peek_nonspace();
    if (c == ']') return fail_peek(Code::kTrailingComma);
    if (c < 0) return fail_peek(Code::kEofValue);
    more = true;
    return true;
  }

  bool parse_array(Json& out) {
    if (!enter()) return false;
    out = Json::value_t::array;
    auto& elements = out.get_ref<Json::array_t&>();
    bool first = true;
    for (;;) {
      bool more = false;
      if (!next_element(first, more)) return false;
      if (!more) break;
      elements.emplace_back();
      if (!parse_value(elements.back())) return false;
    }
    ++p_;  // ']'
    ++depth_;
    return true;
  }

  // Inside braces: is another member there? Consumes the comma and the
  // key's opening quote.
  bool next_key(bool& first, bool& more) {
    int c = peek_nonspace();
    if (c < 0) return fail_peek(Code::kEofObject);
    if (c == '}') {
      more = false;
      return true;
    }
    if (first) {
      first = false;
    } else {
      if (c != ',') return fail_peek(Code::kExpectedObjectCommaOrEnd);
      ++p_;
      c = peek_nonspace();
      if (c == '}') return fail_peek(Code::kTrailingComma);
      if (c < 0) return fail_peek(Code::kEofValue);
    }
    if (c != '"') return fail_peek(Code::kKeyMustBeString);
    ++p_;
    more = true;
    return true;
  }

  bool colon() {
    int c = peek_nonspace();
    if (c == ':') {
      ++p_;
      return true;
    }
    return fail_peek(c < 0 ? Code::kEofObject : Code::kExpectedColon);
  }

  bool parse_object(Json& out) {
    if (!enter()) return false;
    out = Json::value_t::object;
    auto& members = out.get_ref<Json::object_t&>();
    bool first = true;
    std::string key;
    for (;;) {
      bool more = false;
      if (!next_key(first, more)) return false;
      if (!more) break;
      key.clear();
      if (!parse_string(key) || !colon()) return false;
      // Keys usually arrive sorted (every writer of this format sorts them),
      // so try the end first. A repeated key keeps its last value.
      Json* slot;
      if (members.empty() || members.rbegin()->first < key) {
        slot = &members.emplace_hint(members.end(), std::move(key), nullptr)->second;
      } else {
        auto it = members.lower_bound(key);
        if (it != members.end() && it->first == key) {
          slot = &it->second;
        } else {
          slot = &members.emplace_hint(it, std::move(key), nullptr)->second;
        }
      }
      if (!parse_value(*slot)) return false;
    }
    ++p_;  // '}'
    ++depth_;
    return true;
  }

  // After the opening quote; appends the decoded text to `out`.
  bool parse_string(std::string& out) {
    bool non_ascii = false;
    std::size_t start_size = out.size();
    for (;;) {
      const unsigned char* run = p_;
      // Eight bytes at a time while none of them ends the run.
      while (end_ - p_ >= 8) {
        std::uint64_t w = load8(p_);
        if (string_stops(w) != 0) break;
        non_ascii |= (w & kHighs) != 0;
        p_ += 8;
      }
      while (p_ < end_) {
        unsigned char c = *p_;
        if (c == '"' || c == '\\' || c < 0x20) break;
        non_ascii |= c >= 0x80;
        ++p_;
      }
      out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p_ - run));
      if (p_ == end_) return fail_at(Code::kEofString);
      unsigned char c = *p_++;
      if (c == '"') break;
      if (c != '\\') return fail_at(Code::kControlCharacter);
      if (!parse_escape(out)) return false;
    }
    if (non_ascii &&
        !valid_utf8(std::string_view(out).substr(start_size))) {
      return fail_at(Code::kInvalidCodePoint);
    }
    return true;
  }

  bool hex4(std::uint32_t& value) {
    if (end_ - p_ < 4) {
      p_ = end_;
      return fail_at(Code::kEofString);
    }
    value = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
      unsigned char c = p_[i];
      std::uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        ok = false;
        digit = 0;
      }
      value = value * 16 + digit;
    }
    p_ += 4;
    return ok || fail_at(Code::kInvalidEscape);
  }

  bool parse_escape(std::string& out) {
    if (p_ == end_) return fail_at(Code::kEofString);
    switch (*p_++) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return fail_at(Code::kInvalidEscape);
    }
    std::uint32_t unit = 0;
    if (!hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(Code::kLoneLeadingSurrogate);
    if (unit < 0xD800 || unit > 0xDBFF) {
      append_utf8(out, unit);
      return true;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    for (char expected : {'\\', 'u'}) {
      if (p_ == end_) return fail_at(Code::kEofString);
      if (*p_++ != expected) return fail_at(Code::kUnexpectedEndOfHexEscape);
    }
    std::uint32_t low = 0;
    if (!hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail_at(Code::kLoneLeadingSurrogate);
    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    return true;
  }

  static bool is_digit(int c) { return c >= '0' && c <= '9'; }
  int peek() const { return p_ < end_ ? *p_ : -1; }

  bool parse_number(Json& out) {
    const unsigned char* start = p_;
    bool negative = *p_ == '-';
    if (negative) {
      ++p_;
      if (p_ == end_) return fail_at(Code::kEofValue);
    }
    unsigned char first = *p_++;
    if (!is_digit(first)) return fail_at(Code::kInvalidNumber);
    std::uint64_t magnitude = first - '0';
    bool fits = true;  // the integer part fits in 64 bits
    if (first == '0') {
      if (is_digit(peek())) return fail_peek(Code::kInvalidNumber);
    } else {
      while (is_digit(peek())) {
        std::uint64_t digit = *p_ - '0';
        if (fits && magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) fits = false;
        if (fits) magnitude = magnitude * 10 + digit;
        ++p_;
      }
    }
    bool is_float = !fits;
    if (peek() == '.') {
      is_float = true;
      ++p_;
      if (!is_digit(peek())) return fail_peek(p_ == end_ ? Code::kEofValue : Code::kInvalidNumber);
      while (is_digit(peek())) ++p_;
    }
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++p_;
      if (peek() == '+' || peek() == '-') ++p_;
      if (p_ == end_) return fail_at(Code::kEofValue);
      if (!is_digit(*p_++)) return fail_at(Code::kInvalidNumber);
      while (is_digit(peek())) ++p_;
    }
    if (!is_float) {
      if (!negative) {
        out = magnitude;
        return true;
      }
      // -0 and integers below the signed range become doubles.
      if (magnitude != 0 && magnitude <= std::uint64_t{1} << 63) {
        out = static_cast<std::int64_t>(0 - magnitude);
        return true;
      }
    }
    return parse_double(start, out);
  }

  bool parse_double(const unsigned char* start, Json& out) {
    auto first = reinterpret_cast<const char*>(start);
    auto last = reinterpret_cast<const char*>(p_);
    double value = 0;
    auto r = std::from_chars(first, last, value);
    if (r.ec == std::errc::result_out_of_range) {
      if (overflows(first, last)) return fail_at(Code::kNumberOutOfRange);
      value = *first == '-' ? -0.0 : 0.0;
    } else if (r.ec != std::errc() || r.ptr != last) {
      return fail_at(Code::kInvalidNumber);  // not reached for text the scanner accepted
    }
    out = value;
    return true;
  }

  // Whether a number that does not fit in a double is too large (rather
  // than too small): its leading significant digit lies left of the point.
  static bool overflows(const char* first, const char* last) {
    const char* p = first;
    if (*p == '-') ++p;
    bool found = false;
    long long scale = 0;  // power of ten of the leading significant digit
    const char* int_start = p;
    while (p < last && is_digit(*p)) ++p;
    for (const char* q = int_start; q < p; ++q) {
      if (*q != '0') {
        found = true;
        scale = p - q - 1;
        break;
      }
    }
    if (p < last && *p == '.') {
      ++p;
      for (long long position = -1; p < last && is_digit(*p); ++p, --position) {
        if (!found && *p != '0') {
          found = true;
          scale = position;
        }
      }
    }
    long long exponent = 0;
    if (p < last && (*p == 'e' || *p == 'E')) {
      ++p;
      bool negative = false;
      if (*p == '+' || *p == '-') negative = *p++ == '-';
      for (; p < last; ++p) {
        if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
      }
      if (negative) exponent = -exponent;
    }
    return found && scale + exponent >= 0;
  }

  // -- typed records --------------------------------------------------------
  // Reads a field's value into `out`, refusing one of the wrong type the way
  // the conventional decoder does: a scalar after it has been read, a
  // container before it is read.
  bool typed_value(FieldKind kind, Json& out) {
    int c = peek_nonspace();
    bool fits = true;
    switch (kind) {
      case FieldKind::kAny: break;
      case FieldKind::kBool: fits = c == 't' || c == 'f'; break;
      case FieldKind::kOptionalString: fits = c == '"' || c == 'n'; break;
      case FieldKind::kString: fits = c == '"'; break;
      case FieldKind::kU64: fits = c == '-' || is_digit(c); break;
      case FieldKind::kArray: fits = c == '['; break;
    }
    if (!fits && (c == '[' || c == '{')) {
      return fail_custom("invalid type: " + std::string(c == '[' ? "sequence" : "map") +
                         ", expected " + std::string(kind_expected(kind)));
    }
    if (!parse_value(out)) return false;
    std::string refusal = field_refusal(out, kind);
    if (!refusal.empty()) return fail_custom(std::move(refusal));
    return true;
  }

  bool record(std::string_view name, std::span<const RecordField> fields, RecordFields& out) {
    int c = peek_nonspace();
    if (c == '[') return record_array(name, fields, out);
    if (c == '{') return record_object(fields, out);
    if (c < 0) return fail_peek(Code::kEofValue);
    Json value;
    if (!parse_value(value)) return false;
    return fail_custom(invalid_type_text(value, "struct " + std::string(name)));
  }

  bool record_array(std::string_view name, std::span<const RecordField> fields, RecordFields& out) {
    if (!enter()) return false;
    bool first = true;
    std::size_t count = 0;
    for (; count < fields.size(); ++count) {
      bool more = false;
      if (!next_element(first, more)) return false;
      if (!more) break;
      Json value;
      if (!typed_value(fields[count].kind, value)) return false;
      out[count] = std::move(value);
    }
    // The record ends here; more elements are refused.
    int c = peek_nonspace();
    if (c == ',') {
      ++p_;
      return fail_peek(peek_nonspace() == ']' ? Code::kTrailingComma : Code::kTrailingCharacters);
    }
    if (c < 0) return fail_peek(Code::kEofList);
    if (c != ']') return fail_peek(Code::kTrailingCharacters);
    ++p_;
    ++depth_;
    for (std::size_t i = count; i < fields.size(); ++i) {
      if (fields[i].required) {
        return fail_custom("invalid length " + std::to_string(i) + ", expected struct " +
                           std::string(name) + " with " + std::to_string(fields.size()) +
                           (fields.size() == 1 ? " element" : " elements"));
      }
    }
    return true;
  }

  bool record_object(std::span<const RecordField> fields, RecordFields& out) {
    if (!enter()) return false;
    bool first = true;
    std::string key;
    for (;;) {
      bool more = false;
      if (!next_key(first, more)) return false;
      if (!more) break;
      key.clear();
      if (!parse_string(key)) return false;
      std::size_t i = 0;
      while (i < fields.size() && fields[i].name != key) ++i;
      if (i < fields.size() && out[i].has_value()) {
        peek_nonspace();
        return fail_custom("duplicate field `" + key + "`");
      }
      if (!colon()) return false;
      Json value;
      if (i == fields.size()) {
        if (!parse_value(value)) return false;  // unknown member: checked, then dropped
        continue;
      }
      if (!typed_value(fields[i].kind, value)) return false;
      out[i] = std::move(value);
    }
    ++p_;  // '}'
    ++depth_;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required && !out[i].has_value()) {
        return fail_custom("missing field `" + std::string(fields[i].name) + "`");
      }
    }
    return true;
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  int depth_ = kDepthBudget;
  ParseError error_{Code::kCustom, 0, {}};
};

std::vector<RecordField> any_fields(std::span<const std::string_view> names) {
  std::vector<RecordField> fields;
  fields.reserve(names.size());
  for (std::string_view name : names) fields.push_back(RecordField{name, FieldKind::kAny, false});
  return fields;
}

Error data_error(std::string message) { return Error::make(ErrorKind::kInvalidData, std::move(message)); }

}  // namespace

Result<Json> parse_json(std::string_view text) { return Parser(text).parse_document(); }

void append_json(std::string& out, const Json& value) { write_value(out, value); }

std::string write_json(const Json& value) {
  std::string out;
  out.reserve(128);
  write_value(out, value);
  return out;
}

std::string describe_json(const Json& value) {
  std::string out;
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return value.get<bool>() ? "boolean `true`" : "boolean `false`";
    case Json::value_t::number_unsigned:
      out = "integer `";
      append_integer(out, value.get<std::uint64_t>());
      out += '`';
      return out;
    case Json::value_t::number_integer:
      out = "integer `";
      append_integer(out, value.get<std::int64_t>());
      out += '`';
      return out;
    case Json::value_t::number_float: {
      double d = value.get<double>();
      out = "floating point `";
      if (std::isnan(d)) {
        out += "NaN";
      } else if (std::isinf(d)) {
        out += d < 0 ? "-inf" : "inf";
      } else {
        append_double(out, d);
      }
      out += '`';
      return out;
    }
    case Json::value_t::string:
      out = "string ";
      append_debug_string(out, value.get_ref<const std::string&>());
      return out;
    case Json::value_t::array: return "sequence";
    case Json::value_t::object: return "map";
    case Json::value_t::binary: return "byte array";
    case Json::value_t::discarded: break;
  }
  return "null";
}

std::string invalid_type_text(const Json& value, std::string_view expected) {
  std::string out = "invalid type: ";
  out += describe_json(value);
  out += ", expected ";
  out += expected;
  return out;
}

Result<RecordFields> decode_record_text(std::string_view text, std::string_view record_name,
                                        std::span<const RecordField> fields) {
  return Parser(text).parse_record(record_name, fields);
}

Result<RecordFields> decode_record_text(std::string_view text, std::string_view record_name,
                                        std::span<const std::string_view> field_names) {
  std::vector<RecordField> fields = any_fields(field_names);
  return decode_record_text(text, record_name, fields);
}

Result<RecordFields> decode_record_value(const Json& value, std::string_view record_name,
                                         std::span<const RecordField> fields) {
  RecordFields out(fields.size());
  if (value.is_object()) {
    const auto& members = value.get_ref<const Json::object_t&>();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      auto it = members.find(std::string(fields[i].name));
      if (it == members.end()) continue;
      std::string refusal = field_refusal(it->second, fields[i].kind);
      if (!refusal.empty()) return fail(data_error(std::move(refusal)));
      out[i] = it->second;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required && !out[i].has_value()) {
        return fail(data_error("missing field `" + std::string(fields[i].name) + "`"));
      }
    }
    return out;
  }
  if (value.is_array()) {
    const auto& elements = value.get_ref<const Json::array_t&>();
    std::size_t count = std::min(elements.size(), fields.size());
    for (std::size_t i = 0; i < count; ++i) {
      std::string refusal = field_refusal(elements[i], fields[i].kind);
      if (!refusal.empty()) return fail(data_error(std::move(refusal)));
      out[i] = elements[i];
    }
    for (std::size_t i = count; i < fields.size(); ++i) {
      if (fields[i].required) {
        return fail(data_error("invalid length " + std::to_string(i) + ", expected struct " +
                               std::string(record_name) + " with " +
                               std::to_string(fields.size()) +
                               (fields.size() == 1 ? " element" : " elements")));
      }
    }
    if (elements.size() > fields.size()) {
      return fail(data_error("invalid length " + std::to_string(elements.size()) +
                             ", expected fewer elements in array"));
    }
    return out;
  }
  return fail(data_error(invalid_type_text(value, "struct " + std::string(record_name))));
}

Result<RecordFields> decode_record_value(const Json& value, std::string_view record_name,
                                         std::span<const std::string_view> field_names) {
  std::vector<RecordField> fields = any_fields(field_names);
  return decode_record_value(value, record_name, fields);
}

std::string write_record(std::span<const RecordField> fields, const RecordFields& values) {
  VORN_CHECK(fields.size() == values.size());
  std::string out;
  out.reserve(128);
  out += '{';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    append_string(out, fields[i].name);
    out += ':';
    if (values[i].has_value()) {
      write_value(out, *values[i]);
    } else {
      out += "null";
    }
  }
  out += '}';
  return out;
}

Status check_field(const Json& value, FieldKind kind) {
  std::string refusal = field_refusal(value, kind);
  if (!refusal.empty()) return fail(data_error(std::move(refusal)));
  return {};
}

Result<bool> json_bool(const Json& value) {
  TRY(check_field(value, FieldKind::kBool));
  return value.get<bool>();
}

Result<std::string> json_string(const Json& value) {
  TRY(check_field(value, FieldKind::kString));
  return value.get<std::string>();
}

Result<std::optional<std::string>> json_optional_string(const Json& value) {
  TRY(check_field(value, FieldKind::kOptionalString));
  if (value.is_null()) return std::optional<std::string>();
  return std::optional<std::string>(value.get<std::string>());
}

Result<std::uint64_t> json_u64(const Json& value) {
  TRY(check_field(value, FieldKind::kU64));
  return value.get<std::uint64_t>();
}

Result<const Json::array_t*> json_array(const Json& value) {
  TRY(check_field(value, FieldKind::kArray));
  return &value.get_ref<const Json::array_t&>();
}

}  // namespace vorn
