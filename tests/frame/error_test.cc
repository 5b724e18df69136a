#include "frame/error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace vorn {
namespace {

TEST(ErrorTest, SystemErrorShowsDescriptionAndNumber) {
  EXPECT_EQ(Error::from_errno(ENOENT).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(Error::from_errno(EAGAIN).kind, ErrorKind::kWouldBlock);
  EXPECT_EQ(Error::from_errno(EAGAIN).text(), "Resource temporarily unavailable (os error 11)");
}

TEST(ErrorTest, OwnErrorShowsOnlyItsMessage) {
  EXPECT_EQ(Error::make(ErrorKind::kInvalidData, "declared frame exceeds the limit").text(),
            "declared frame exceeds the limit");
  EXPECT_EQ(Error::make(ErrorKind::kUnexpectedEof).text(), "unexpected end of file");
  EXPECT_EQ(Error::make(ErrorKind::kTimedOut).text(), "timed out");
}

}  // namespace
}  // namespace vorn
