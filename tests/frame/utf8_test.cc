#include "frame/utf8.h"

#include <string>

#include <gtest/gtest.h>

namespace vorn {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(LossyUtf8, ReplacesEachMaximalInvalidSequenceOnce) {
  EXPECT_EQ(lossy_utf8("plain/\xC3\xA9/\xF0\x9F\x98\x80"), "plain/\xC3\xA9/\xF0\x9F\x98\x80");
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a" + kFffd + "b");
  EXPECT_EQ(lossy_utf8("\xE2\x82" "A"), kFffd + "A");              // cut-short sequence
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x98"), kFffd);                     // cut short at the end
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), kFffd + kFffd);                 // overlong lead
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), kFffd + kFffd + kFffd);     // surrogate
  EXPECT_EQ(lossy_utf8("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // > U+10FFFF
  EXPECT_EQ(lossy_utf8("\x80\x80"), kFffd + kFffd);
  EXPECT_EQ(lossy_utf8(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(lossy_utf8("a\xF0\x9F\x98z"), "a" + kFffd + "z");          // truncated 4-byte
  EXPECT_EQ(lossy_utf8("\xE0\x80"), kFffd + kFffd);                     // bad second byte
  EXPECT_EQ(lossy_utf8("\xE2\x82"), kFffd);                            // cut at the end
}

TEST(LossyUtf8, SequenceLengthsAndTheirInvalidPrefixes) {
  EXPECT_EQ(utf8_sequence("a", 0), 1);
  EXPECT_EQ(utf8_sequence("\xC3\xA9", 0), 2);
  EXPECT_EQ(utf8_sequence("\xF0\x9F\x98\x80", 0), 4);
  EXPECT_EQ(utf8_sequence("\xF0\x9F\x98", 0), -3);  // cut short: the whole prefix
  EXPECT_EQ(utf8_sequence("\xE0\x80", 0), -1);       // overlong: the lead alone
  EXPECT_EQ(utf8_sequence("\xFF", 0), -1);
}

}  // namespace
}  // namespace vorn
