#include "frame/json.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace vorn {
namespace {

std::string error_of(std::string_view text) {
  auto parsed = parse_json(text);
  if (parsed) return "parsed: " + write_json(*parsed);
  return parsed.error().message;
}

ErrorKind kind_of(std::string_view text) {
  auto parsed = parse_json(text);
  EXPECT_FALSE(parsed.has_value()) << text;
  return parsed ? ErrorKind::kOther : parsed.error().kind;
}

std::string nested_arrays(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']');
}

TEST(ParseJsonTest, ReportsConventionalTextsAndPositions) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"{} a", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"x", "expected value at line 1 column 1"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"01", "invalid number at line 1 column 2"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      // Lines count from 1; the column restarts after each line feed.
      {"[\n  1,\n  x]", "expected value at line 3 column 3"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
}

TEST(ParseJsonTest, EndInsideAValueIsUnexpectedEofAndEverythingElseInvalidData) {
  for (const char* text : {"", "[1,", "[", "{", "{\"a\":", "\"abc", "\"\\u12", "tru", "-", "1.", "1e+"}) {
    EXPECT_EQ(kind_of(text), ErrorKind::kUnexpectedEof) << text;
  }
  for (const char* text : {"{} a", "[1 2]", "x", "01", "\"\\q\"", "1e400", "[1,]"}) {
    EXPECT_EQ(kind_of(text), ErrorKind::kInvalidData) << text;
  }
}

TEST(ParseJsonTest, AcceptsOnlyJsonWhiteSpaceAroundOneValue) {
  auto parsed = parse_json("  {\"a\":1}\r\n\t ");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(write_json(*parsed), "{\"a\":1}");
  EXPECT_EQ(kind_of("\f{}"), ErrorKind::kInvalidData);
  EXPECT_EQ(kind_of("{}\v"), ErrorKind::kInvalidData);
  EXPECT_EQ(kind_of(std::string_view("{}\0", 3)), ErrorKind::kInvalidData);
}

TEST(ParseJsonTest, NestingStopsAt127Levels) {
  EXPECT_TRUE(parse_json(nested_arrays(127)).has_value());
  EXPECT_EQ(error_of(nested_arrays(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(kind_of(nested_arrays(100000)), ErrorKind::kInvalidData);  // no stack overflow

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"k\":";
  objects += "1" + std::string(127, '}');
  EXPECT_TRUE(parse_json(objects).has_value());
  // Closed containers give their depth back.
  std::string siblings = "[" + nested_arrays(126) + "," + nested_arrays(126) + "]";
  EXPECT_TRUE(parse_json(siblings).has_value());
}

TEST(ParseJsonTest, NumbersKeepTheirKind) {
  auto kind = [](std::string_view text) { return parse_json(text).value().type(); };
  EXPECT_EQ(kind("1"), Json::value_t::number_unsigned);
  EXPECT_EQ(kind("18446744073709551615"), Json::value_t::number_unsigned);
  EXPECT_EQ(kind("-1"), Json::value_t::number_integer);
  EXPECT_EQ(kind("-9223372036854775808"), Json::value_t::number_integer);
  EXPECT_EQ(kind("1.0"), Json::value_t::number_float);
  EXPECT_EQ(kind("1e2"), Json::value_t::number_float);
  EXPECT_EQ(kind("18446744073709551616"), Json::value_t::number_float);
  EXPECT_EQ(kind("-9223372036854775809"), Json::value_t::number_float);
  EXPECT_EQ(parse_json("18446744073709551615")->get<std::uint64_t>(),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(parse_json("-9223372036854775808")->get<std::int64_t>(),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse_json("18446744073709551616")->get<double>(), 18446744073709551616.0);
  EXPECT_EQ(parse_json("1e-400")->get<double>(), 0.0);

  // The kind survives a round trip, so 1 and 1.0 stay distinct texts.
  for (const char* text : {"1", "1.0", "-1", "-0.0", "1.5", "0.1", "1e20", "1.8446744073709552e19"}) {
    EXPECT_EQ(write_json(parse_json(text).value()), text);
  }
}

TEST(ParseJsonTest, RefusesInvalidUtf8InStrings) {
  for (std::string bad : {"\"\xC3\x28\"", "\"\xED\xA0\x80\"", "\"\xC0\xAF\"", "\"\xF5\x80\x80\x80\"",
                          "\"\xE2\x82\"", "\"\x80\"", "{\"\xFF\":1}"}) {
    EXPECT_EQ(kind_of(bad), ErrorKind::kInvalidData) << bad;
  }
  EXPECT_EQ(error_of("[\"\xC3\x28\"]"), "invalid unicode code point at line 1 column 5");
  auto good = parse_json("\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\\u00e9\\ud83d\\ude00\"");
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(good->get<std::string>(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(ParseJsonTest, FindsEachStopInLongStringsAtAnyOffset) {
  for (std::size_t at = 0; at < 20; ++at) {
    std::string padding(at, 'p');
    std::string tail(20, 't');
    std::string base = "\"" + padding + "%" + tail + "\"";
    auto with = [&](std::string_view stop) {
      std::string text = base;
      text.replace(at + 1, 1, stop);
      return text;
    };
    EXPECT_EQ(parse_json(with("\\n"))->get<std::string>(), padding + "\n" + tail) << at;
    EXPECT_EQ(parse_json(with("\xC3\xA9"))->get<std::string>(), padding + "\xC3\xA9" + tail) << at;
    EXPECT_EQ(parse_json(with("\"")).error().message,
              "trailing characters at line 1 column " + std::to_string(at + 3)) << at;
    EXPECT_EQ(parse_json(with("\x1f")).error().message,
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(at + 2)) << at;
    EXPECT_EQ(kind_of(with("\xFF")), ErrorKind::kInvalidData) << at;
  }
}

TEST(ParseJsonTest, DecodesEscapesAndKeepsTheLastOfRepeatedKeys) {
  auto value = parse_json(R"({"s":"a\"\\\/\b\f\n\r\t\u0000z","k":1,"k":2})");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((*value)["s"].get<std::string>(), std::string("a\"\\/\b\f\n\r\t\0z", 11));
  EXPECT_EQ((*value)["k"], 2);
  EXPECT_EQ(value->size(), 2u);
}

TEST(WriteJsonTest, WritesCompactSortedText) {
  auto value = parse_json(R"({ "b" : 1 , "a" : [ true , null , "x" , {"d":{},"c":[]} ] })");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(write_json(*value), R"({"a":[true,null,"x",{"c":[],"d":{}}],"b":1})");
}

TEST(WriteJsonTest, EscapesControlCharactersAndReplacesInvalidUtf8) {
  Json value = std::string("q\"b\\\x01\x1f\x7f\n\t\xC3\xA9/", 12);
  EXPECT_EQ(write_json(value), "\"q\\\"b\\\\\\u0001\\u001f\x7f\\n\\t\xC3\xA9/\"");
  // Each maximal ill-formed part becomes one U+FFFD.
  EXPECT_EQ(write_json(Json(std::string("a\xFF" "b\xE2\x82" "c\xED\xA0\x80"))),
            "\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  Json keyed = Json::object();
  keyed[std::string("k\xFF")] = 1;
  EXPECT_EQ(write_json(keyed), "{\"k\xEF\xBF\xBD\":1}");
}

TEST(WriteJsonTest, WritesDoublesInShortestRoundTripForm) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1.0"},           {-0.0, "-0.0"},        {0.5, "0.5"},
      {1e15, "1000000000000000.0"}, {1e16, "1e16"}, {1.5e300, "1.5e300"},
      {0.0001, "0.0001"},     {0.00001, "0.00001"},  {1e-6, "1e-6"},
      {1.25e-7, "1.25e-7"},   {123.456, "123.456"},  {5e-324, "5e-324"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const auto& [number, text] : cases) EXPECT_EQ(write_json(Json(number)), text);
  for (double number : {0.1, 1.0 / 3, 2.0 / 3e200, 9007199254740993.0, 1.7976931348623157e308, 4.9e-324}) {
    EXPECT_EQ(parse_json(write_json(Json(number)))->get<double>(), number);
  }
}

// The writer's string escaping done the slow, obvious way: one byte at a
// time, UTF-8 checked by its table of well-formed byte sequences, each
// maximal ill-formed part replaced by one U+FFFD.
std::string reference_string(std::string_view s) {
  std::string out = "\"";
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(s[at]); };
  while (i < s.size()) {
    unsigned char c = byte(i);
    if (c < 0x80) {
      static const char* const kShort[] = {"\\b", "\\t", "\\n", nullptr, "\\f", "\\r"};
      if (c == '"') {
        out += "\\\"";
      } else if (c == '\\') {
        out += "\\\\";
      } else if (c >= 0x20) {
        out += static_cast<char>(c);
      } else if (c >= 8 && c <= 13 && kShort[c - 8] != nullptr) {
        out += kShort[c - 8];
      } else {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        out += escape;
      }
      ++i;
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    std::size_t good = need == 0 ? 0 : 1;
    while (good > 0 && good < need && i + good < s.size()) {
      unsigned char b = byte(i + good);
      if (b < (good == 1 ? lo : 0x80) || b > (good == 1 ? hi : 0xBF)) break;
      ++good;
    }
    if (need != 0 && good == need) {
      out.append(s.substr(i, need));
      i += need;
    } else {
      out += "\xEF\xBF\xBD";
      i += good == 0 ? 1 : good;
    }
  }
  return out + "\"";
}

// Every byte the writer must stop at, and the byte sequences around them:
// each control character, the quote and backslash, DEL (copied as is), a
// well-formed sequence of each length and of each lead byte with a narrowed
// second-byte range, and ill-formed ones: stray continuation bytes, bytes
// that never lead, overlong and surrogate forms, out-of-range code points,
// and sequences cut short by a plain byte.
std::vector<std::string> special_pieces() {
  std::vector<std::string> pieces;
  for (int c = 0; c < 0x20; ++c) pieces.emplace_back(1, static_cast<char>(c));
  for (const char* piece :
       {"\"", "\\", "\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xE1\x80\x80", "\xEC\xBF\xBF",
        "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF1\x80\x80\x80",
        "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF", "\x80", "\xBF", "\xC0", "\xC1\xBF", "\xC0\xAF",
        "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFE",
        "\xFF", "\xC3" "a", "\xE2\x82" "a", "\xE2" "a", "\xF0\x9F\x98" "a", "\xF0\x9F" "a",
        "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}) {
    pieces.emplace_back(piece);
  }
  return pieces;
}

TEST(WriteJsonTest, EscapesEachSpecialByteAtEveryOffsetLikeAByteAtATimeWriter) {
  const std::vector<std::string> pieces = special_pieces();
  for (const std::string& piece : pieces) {
    for (std::size_t at = 0; at < 20; ++at) {
      // Plain bytes before the piece; after it none, a few, or enough for
      // several eight-byte steps.
      for (std::size_t after : {0u, 1u, 7u, 8u, 9u, 23u}) {
        std::string text = std::string(at, 'p') + piece + std::string(after, 'q');
        ASSERT_EQ(write_json(Json(text)), reference_string(text)) << testing::PrintToString(text);
      }
      // Two specials close together, and one among other special bytes.
      std::string pair = std::string(at, 'p') + piece + "ab" + piece + std::string(at, 'q');
      ASSERT_EQ(write_json(Json(pair)), reference_string(pair)) << testing::PrintToString(pair);
      std::string crowded = std::string(at, '"') + piece + std::string(at, '\n');
      ASSERT_EQ(write_json(Json(crowded)), reference_string(crowded))
          << testing::PrintToString(crowded);
    }
  }
}

TEST(WriteJsonTest, TruncatedSequencesAtTheEndBecomeOneReplacement) {
  for (const char* cut : {"\xC3", "\xE2", "\xE2\x82", "\xF0", "\xF0\x9F", "\xF0\x9F\x98", "\xED\xA0",
                          "\xF4\x8F\xBF"}) {
    for (std::size_t at = 0; at < 20; ++at) {
      std::string text = std::string(at, 'p') + cut;
      std::string written = write_json(Json(text));
      EXPECT_EQ(written, reference_string(text)) << testing::PrintToString(text);
    }
  }
  // The cut-off lead is never copied out, however the tail lines up.
  EXPECT_EQ(write_json(Json(std::string("1234567\xF0\x9F\x98"))), "\"1234567\xEF\xBF\xBD\"");
  EXPECT_EQ(write_json(Json(std::string("12345678\xE2"))), "\"12345678\xEF\xBF\xBD\"");
}

TEST(WriteJsonTest, LongAndMixedStringsMatchTheByteAtATimeWriter) {
  // A long text that needs escaping throughout makes the writer grow its
  // buffer in the middle of a string, and written after other text it
  // starts at an unaligned position.
  std::string text;
  const std::vector<std::string> pieces = special_pieces();
  for (std::size_t i = 0; text.size() < 300000; ++i) {
    text += pieces[(i * 31) % pieces.size()];
    text.append(i % 29, static_cast<char>('a' + i % 26));
  }
  std::string all_escaped(100000, '\x01');
  for (const std::string* s : {&text, &all_escaped}) {
    EXPECT_EQ(write_json(Json(*s)), reference_string(*s));
    std::string out = "prefix:";
    append_json(out, Json::array({*s, "x", *s}));
    EXPECT_EQ(out, "prefix:[" + reference_string(*s) + ",\"x\"," + reference_string(*s) + "]");
  }
  // Keys go through the same writer.
  Json keyed = Json::object();
  keyed[text.substr(0, 5000)] = 1;
  EXPECT_EQ(write_json(keyed), "{" + reference_string(text.substr(0, 5000)) + ":1}");
  EXPECT_EQ(write_json(Json("")), "\"\"");
}

// --- typed records -----------------------------------------------------------

constexpr RecordField kResume[] = {
    {"initialize", FieldKind::kAny},  {"initialized", FieldKind::kBool},
    {"account", FieldKind::kOptionalString}, {"started", FieldKind::kU64},
    {"tools", FieldKind::kAny},       {"listed_without_vorn", FieldKind::kBool},
    {"modern", FieldKind::kBool},     {"client", FieldKind::kOptionalString},
    {"subscriptions", FieldKind::kArray}, {"workspace", FieldKind::kOptionalString},
};

constexpr RecordField kCredentials[] = {
    {"agent_id", FieldKind::kString, true},
    {"secret", FieldKind::kString, true},
};

std::string record_error(std::string_view text, std::span<const RecordField> fields, std::string_view name) {
  auto decoded = decode_record_text(text, name, fields);
  if (decoded) return "decoded";
  EXPECT_EQ(decoded.error().kind == ErrorKind::kUnexpectedEof || decoded.error().kind == ErrorKind::kInvalidData,
            true);
  return decoded.error().message;
}

TEST(RecordTest, DecodesObjectsByNameIgnoringUnknownMembers) {
  auto fields = decode_record_text(
      R"( {"modern":true,"extra":{"deep":[1,2]},"started":7,"client":null,"subscriptions":[1,"a"],"Started":"x"} )",
      "Resume", kResume);
  ASSERT_TRUE(fields.has_value()) << fields.error().message;
  ASSERT_EQ(fields->size(), 10u);
  EXPECT_EQ((*fields)[6], Json(true));
  EXPECT_EQ((*fields)[3], Json(7u));
  EXPECT_EQ((*fields)[7], Json(nullptr));
  EXPECT_EQ(write_json(*(*fields)[8]), "[1,\"a\"]");
  for (std::size_t absent : {0u, 1u, 2u, 4u, 5u, 9u}) EXPECT_FALSE((*fields)[absent].has_value()) << absent;
}

TEST(RecordTest, DecodesArraysInFieldOrderWithAMissingTail) {
  auto fields = decode_record_text(R"([{"method":"initialize"},true,"acc",12])", "Resume", kResume);
  ASSERT_TRUE(fields.has_value()) << fields.error().message;
  EXPECT_EQ((*fields)[0]->at("method"), "initialize");
  EXPECT_EQ((*fields)[2], Json("acc"));
  EXPECT_EQ((*fields)[3], Json(12u));
  EXPECT_FALSE((*fields)[4].has_value());

  auto value = decode_record_value(parse_json(R"(["a","s"])").value(), "Credentials", kCredentials);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ((*value)[1], Json("s"));
}

TEST(RecordTest, RefusesRecordsOfTheWrongShapeFromText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"modern":true,"modern":false})", "duplicate field `modern` at line 1 column 23"},
      {R"({"modern":"x"})", "invalid type: string \"x\", expected a boolean at line 1 column 13"},
      {R"({"started":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 13"},
      {R"({"started":1.0})", "invalid type: floating point `1.0`, expected u64 at line 1 column 14"},
      {R"({"account":5})", "invalid type: integer `5`, expected a string at line 1 column 12"},
      {R"({"initialized":[true]})", "invalid type: sequence, expected a boolean at line 1 column 15"},
      {R"({"subscriptions":{}})", "invalid type: map, expected a sequence at line 1 column 17"},
      {"5", "invalid type: integer `5`, expected struct Resume at line 1 column 1"},
      {"\"r\"", "invalid type: string \"r\", expected struct Resume at line 1 column 3"},
      {"null", "invalid type: null, expected struct Resume at line 1 column 4"},
      {"[null,false,null,0,null,false,false,null,[],null,1]", "trailing characters at line 1 column 50"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"({"modern":tru)", "EOF while parsing a value at line 1 column 13"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(record_error(text, kResume, "Resume"), message) << text;

  EXPECT_EQ(record_error(R"({"agent_id":"a"})", kCredentials, "Credentials"),
            "missing field `secret` at line 1 column 16");
  EXPECT_EQ(record_error(R"(["a"])", kCredentials, "Credentials"),
            "invalid length 1, expected struct Credentials with 2 elements at line 1 column 5");
  EXPECT_EQ(record_error(R"({"agent_id":null,"secret":"s"})", kCredentials, "Credentials"),
            "invalid type: null, expected a string at line 1 column 16");
  EXPECT_EQ(record_error(nested_arrays(128), kResume, "Resume"),
            "recursion limit exceeded at line 1 column 128");
}

TEST(RecordTest, RefusesRecordsOfTheWrongShapeFromValues) {
  auto message = [](std::string_view text, std::span<const RecordField> fields, std::string_view name) {
    auto decoded = decode_record_value(parse_json(text).value(), name, fields);
    EXPECT_FALSE(decoded.has_value()) << text;
    return decoded ? std::string() : decoded.error().message;
  };
  EXPECT_EQ(message(R"(["a","s","x"])", kCredentials, "Credentials"),
            "invalid length 3, expected fewer elements in array");
  EXPECT_EQ(message(R"(["a"])", kCredentials, "Credentials"),
            "invalid length 1, expected struct Credentials with 2 elements");
  EXPECT_EQ(message(R"({"secret":"s"})", kCredentials, "Credentials"), "missing field `agent_id`");
  EXPECT_EQ(message(R"({"agent_id":1,"secret":"s"})", kCredentials, "Credentials"),
            "invalid type: integer `1`, expected a string");
  EXPECT_EQ(message("true", kCredentials, "Credentials"),
            "invalid type: boolean `true`, expected struct Credentials");
  EXPECT_EQ(message(R"({"started":-3})", kResume, "Resume"), "invalid value: integer `-3`, expected u64");
}

TEST(RecordTest, NameOnlyDecodingAcceptsAnyTypes) {
  constexpr std::string_view names[] = {"agent_id", "secret"};
  auto fields = decode_record_text(R"({"secret":[1],"agent_id":null})", "Credentials", names);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ((*fields)[0], Json(nullptr));
  EXPECT_EQ(write_json(*(*fields)[1]), "[1]");
  EXPECT_EQ(decode_record_text(R"({"secret":1,"secret":2})", "Credentials", names).error().message,
            "duplicate field `secret` at line 1 column 20");
}

TEST(RecordTest, WritesMembersInFieldOrderAndReadsThemBack) {
  RecordFields values(std::size(kResume));
  values[0] = parse_json(R"({"params":{"b":1,"a":2}})").value();
  values[3] = Json(5u);
  values[8] = Json::array();
  std::string text = write_record(kResume, values);
  EXPECT_EQ(text,
            R"({"initialize":{"params":{"a":2,"b":1}},"initialized":null,"account":null,"started":5,)"
            R"("tools":null,"listed_without_vorn":null,"modern":null,"client":null,"subscriptions":[],)"
            R"("workspace":null})");
  values[1] = values[5] = values[6] = Json(false);
  auto decoded = decode_record_text(write_record(kResume, values), "Resume", kResume);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
  EXPECT_EQ((*decoded)[0], values[0]);
  EXPECT_EQ((*decoded)[3], Json(5u));
}

TEST(FieldCheckTest, NamesTheOffendingValueAndTheExpectedType) {
  EXPECT_EQ(json_bool(Json("x")).error().message, "invalid type: string \"x\", expected a boolean");
  EXPECT_EQ(json_u64(Json(-1)).error().message, "invalid value: integer `-1`, expected u64");
  EXPECT_EQ(json_u64(Json(2.5)).error().message, "invalid type: floating point `2.5`, expected u64");
  EXPECT_EQ(json_string(Json(nullptr)).error().message, "invalid type: null, expected a string");
  EXPECT_EQ(json_array(Json::object()).error().message, "invalid type: map, expected a sequence");
  EXPECT_EQ(json_optional_string(Json(false)).error().message,
            "invalid type: boolean `false`, expected a string");
  EXPECT_EQ(json_bool(Json("a\"\n\x01")).error().message,
            "invalid type: string \"a\\\"\\n\\u{1}\", expected a boolean");
  EXPECT_EQ(json_u64(Json(5u)).value(), 5u);
  EXPECT_EQ(json_optional_string(Json(nullptr)).value(), std::nullopt);
  EXPECT_EQ(json_array(Json::array({1, 2})).value()->size(), 2u);
  EXPECT_EQ(check_field(Json(-1), FieldKind::kU64).error().kind, ErrorKind::kInvalidData);
}

}  // namespace
}  // namespace vorn
