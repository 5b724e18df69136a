// JSON text in and out, and typed record decoding.
//
// The parser is strict: exactly one value, surrounded only by space, tab, LF
// and CR; nesting up to 127 containers deep; valid UTF-8 and paired
// surrogates only. Numbers keep their kind: a non-negative integer that fits
// in 64 bits is unsigned, a negative one that fits is signed, everything else
// (fractions, exponents, larger integers, and -0) is a double, so 1 and 1.0
// stay different values. Errors carry the conventional texts followed by
// " at line L column C" (L from 1; C counts the bytes consumed on the line).
//
// The writer produces compact text: no white space, object keys in ascending
// byte order, doubles in their shortest round-trip form (1.0 stays "1.0",
// 1e20 is "1e20"), non-finite doubles as null, and invalid UTF-8 inside
// strings replaced by U+FFFD rather than written out.
//
// Thread-safe: no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/error.h"

namespace vorn {

using Json = nlohmann::json;

// Parses exactly one JSON value. The error kind is kUnexpectedEof when the
// text ends inside a value, list, object or string, kInvalidData otherwise;
// the message is the parser's text with its position, for example
// "EOF while parsing a value at line 1 column 0" for empty input.
[[nodiscard]] Result<Json> parse_json(std::string_view text);

// Compact text of `value` (see above). Never fails.
std::string write_json(const Json& value);
// Appends the compact text of `value` to `out`.
void append_json(std::string& out, const Json& value);

// ---------------------------------------------------------------------------
// Typed records.
//
// A record is decoded from an object (members matched by name byte for byte,
// unknown members skipped, a member given twice refused with
// "duplicate field `name`", which only text can show) or from an array of the
// field values in order (a missing tail leaves those fields absent). Any
// other JSON value is refused with "invalid type: <what>, expected struct
// <Name>". Decoded from text, every message ends with " at line L column C";
// decoded from a value, messages carry no position. An array longer than the
// record is refused: from text with "trailing characters", from a value with
// "invalid length N, expected fewer elements in array".

// What a field accepts. A value of another type is refused with the
// conventional text, e.g. "invalid type: string \"x\", expected a boolean",
// "invalid value: integer `-1`, expected u64",
// "invalid type: null, expected a string".
enum class FieldKind {
  kAny,             // any JSON value; null usually means none
  kBool,            // true or false
  kString,          // a string
  kOptionalString,  // a string, or null for none
  kU64,             // a non-negative integer that fits in 64 bits
  kArray,           // an array of any values
};

struct RecordField {
  std::string_view name;
  FieldKind kind = FieldKind::kAny;
  // A required field that is absent is refused: "missing field `name`" in
  // the object form, "invalid length I, expected struct <Name> with N
  // elements" in the array form. Optional fields stay absent and the caller
  // applies its default.
  bool required = false;
};

using RecordFields = std::vector<std::optional<Json>>;  // one slot per field, absent = missing

[[nodiscard]] Result<RecordFields> decode_record_text(std::string_view text,
                                                      std::string_view record_name,
                                                      std::span<const RecordField> fields);
[[nodiscard]] Result<RecordFields> decode_record_value(const Json& value,
                                                       std::string_view record_name,
                                                       std::span<const RecordField> fields);

// The same with every field optional and of any type.
[[nodiscard]] Result<RecordFields> decode_record_text(std::string_view text,
                                                      std::string_view record_name,
                                                      std::span<const std::string_view> field_names);
[[nodiscard]] Result<RecordFields> decode_record_value(const Json& value,
                                                       std::string_view record_name,
                                                       std::span<const std::string_view> field_names);

// The compact object text of a record: members in field order (not sorted),
// an absent field written as null. `values` has one slot per field.
std::string write_record(std::span<const RecordField> fields, const RecordFields& values);

// Field checkers, for values decoded without a kind or taken from any other
// JSON value. Each refuses with kInvalidData and the conventional text.
[[nodiscard]] Status check_field(const Json& value, FieldKind kind);
[[nodiscard]] Result<bool> json_bool(const Json& value);
[[nodiscard]] Result<std::string> json_string(const Json& value);
[[nodiscard]] Result<std::optional<std::string>> json_optional_string(const Json& value);
[[nodiscard]] Result<std::uint64_t> json_u64(const Json& value);
[[nodiscard]] Result<const Json::array_t*> json_array(const Json& value);

// How the conventional messages name a value: "string \"x\"", "integer `5`",
// "floating point `1.5`", "boolean `true`", "null", "sequence", "map".
std::string describe_json(const Json& value);
// "invalid type: <describe_json(value)>, expected <expected>".
std::string invalid_type_text(const Json& value, std::string_view expected);

}  // namespace vorn
