// The session's pure pieces: what a hello grants, and how an answer becomes a
// frame, up to and past the frame limit.
#include "folder/serve.h"

#include <gtest/gtest.h>

#include <string>

#include "frame/frame.h"

namespace vorn::folder {
namespace {

Json parse(std::string_view text) { return Json::parse(text); }

TEST(Hello, AcceptsOnlyPositiveIntegersWrittenAsIntegers) {
  for (const char* good : {R"({"hello":1})", R"({"hello":2})", R"({"hello":18446744073709551615})",
                           R"({"x":null,"hello":9})"})
    EXPECT_TRUE(is_valid_hello(parse(good))) << good;
  for (const char* bad : {R"({"hello":0})", R"({"hello":-1})", R"({"hello":true})",
                          R"({"hello":1.0})", R"({"hello":1e0})", R"({"hello":"1"})",
                          R"({"hello":null})", R"({"hello":18446744073709551616})", "[1]", "1",
                          "{}"})
    EXPECT_FALSE(is_valid_hello(parse(bad))) << bad;
}

TEST(Hello, TimeLimitIsShortenedNeverLengthened) {
  auto limit = [](const char* text) { return limit_from_hello(parse(text)); };
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":5000})"), 5000);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":0.5})"), 1);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":1.9})"), 1);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":20999.9})"), 20999);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":21000})"), 21000);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":99999})"), 21000);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":1e300})"), 21000);
  EXPECT_EQ(limit(R"({"hello":1,"exitAfterMs":18446744073709551615})"), 21000);
  for (const char* other : {R"({"hello":1})", R"({"hello":1,"exitAfterMs":-3})",
                            R"({"hello":1,"exitAfterMs":0})", R"({"hello":1,"exitAfterMs":"5000"})",
                            R"({"hello":1,"exitAfterMs":null})", R"({"hello":1,"exitAfterMs":-0.0})"})
    EXPECT_EQ(limit(other), 21000) << other;
}

// An answer whose compact text is exactly `size` bytes.
Json answer_of_size(std::size_t size, Json id) {
  Json answer = {{"id", id}, {"pad", ""}, {"reachable", true}};
  std::size_t overhead = write_json(answer).size();
  answer["pad"] = std::string(size - overhead, 'p');
  EXPECT_EQ(write_json(answer).size(), size);
  return answer;
}

std::string body_of(const std::vector<std::uint8_t>& frame) {
  EXPECT_GE(frame.size(), 4u);
  std::size_t n = (std::size_t{frame[0]} << 24) | (std::size_t{frame[1]} << 16) |
                  (std::size_t{frame[2]} << 8) | frame[3];
  EXPECT_EQ(n + 4, frame.size());
  return std::string(frame.begin() + 4, frame.end());
}

TEST(EncodeAnswer, FitsUpToTheLimitAndIsReplacedPastIt) {
  Json fits = answer_of_size(FRAME_LIMIT, "req-7");
  std::vector<std::uint8_t> frame = encode_answer(fits);
  EXPECT_EQ(frame.size(), FRAME_LIMIT + 4);
  EXPECT_EQ(body_of(frame), write_json(fits));

  EXPECT_EQ(body_of(encode_answer(answer_of_size(FRAME_LIMIT + 1, "req-7"))),
            R"({"error":"ResponseTooLarge","id":"req-7","reachable":false,"reason":"too-large"})");
  EXPECT_EQ(body_of(encode_answer(answer_of_size(FRAME_LIMIT + 1, nullptr))),
            R"({"error":"ResponseTooLarge","id":null,"reachable":false,"reason":"too-large"})");
  Json no_id = answer_of_size(FRAME_LIMIT + 100, nullptr);
  no_id.erase("id");
  EXPECT_EQ(body_of(encode_answer(no_id)),
            R"({"error":"ResponseTooLarge","id":null,"reachable":false,"reason":"too-large"})");
}

}  // namespace
}  // namespace vorn::folder
