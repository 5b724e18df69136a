#include "probes/report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vorn {
namespace {

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    std::free(probe_report.data);
    probe_report = ProbeReport{};
    probe_debug = false;
  }

  static std::string text() { return std::string(probe_report.data, probe_report.len); }

  // What write_report puts on descriptor 1, read back through a pipe.
  static std::string captured_write() {
    int pipe_fds[2];
    EXPECT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    int saved = ::dup(STDOUT_FILENO);
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    write_report();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(pipe_fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    ::close(pipe_fds[0]);
    return out;
  }
};

TEST_F(ReportTest, RecordsFollowEachOtherInOrder) {
  report_record("VAAPI_SUPPORTED\nTRUE\n");
  report_record("VAAPI_HWCODECS\n%d\n", 1296);
  report_record("VULKAN_DEVICE\n%s\n", "GPU");
  EXPECT_EQ(text(), "VAAPI_SUPPORTED\nTRUE\nVAAPI_HWCODECS\n1296\nVULKAN_DEVICE\nGPU\n");
}

TEST_F(ReportTest, BlockGrowsOnlyWhenLessThanTheRecordRoomIsFree) {
  for (int i = 0; i < 10; ++i) report_record("%s\n", "0123456789abcdefghi");  // 20 bytes each
  EXPECT_EQ(probe_report.len, 200);
  EXPECT_EQ(probe_report.capacity, 4000);

  const std::string filler(1799, 'x');
  report_record("%s\n", filler.c_str());  // exactly 2,000 bytes in use now
  ASSERT_EQ(probe_report.len, 2000);
  report_record("KEY\nVALUE\n");
  EXPECT_EQ(probe_report.capacity, 4000);  // 2,000 free was still enough

  report_record("KEY\nVALUE\n");  // starts with 2,010 in use
  EXPECT_EQ(probe_report.capacity, 8000);
  EXPECT_EQ(probe_report.len, 2020);
}

TEST_F(ReportTest, RecordLongerThanItsRoomIsKeptWhole) {
  report_record("ERROR\nshort\n");
  const std::string name(3000, 'n');
  report_record("VULKAN_DEVICE\n%s\n", name.c_str());
  report_record("VULKAN_SUPPORTED\nFALSE\n");
  EXPECT_EQ(text(), "ERROR\nshort\nVULKAN_DEVICE\n" + name + "\nVULKAN_SUPPORTED\nFALSE\n");
  EXPECT_GE(probe_report.capacity, probe_report.len);
}

TEST_F(ReportTest, WriteSendsExactlyTheRecordsAndFreesTheBlock) {
  report_record("VULKAN_SUPPORTED\nFALSE\n");
  EXPECT_EQ(captured_write(), "VULKAN_SUPPORTED\nFALSE\n");
  EXPECT_EQ(probe_report.data, nullptr);
  EXPECT_EQ(probe_report.len, 0);
  // Nothing recorded since: nothing written, not even an empty line.
  EXPECT_EQ(captured_write(), "");
}

TEST_F(ReportTest, DebugSwitchNeedsALeadingOne) {
  EXPECT_TRUE(debug_switch_on("1"));
  EXPECT_TRUE(debug_switch_on("12"));
  EXPECT_TRUE(debug_switch_on("1 please"));
  EXPECT_FALSE(debug_switch_on(nullptr));
  EXPECT_FALSE(debug_switch_on(""));
  EXPECT_FALSE(debug_switch_on("0"));
  EXPECT_FALSE(debug_switch_on(" 1"));
  EXPECT_FALSE(debug_switch_on("true"));
}

TEST_F(ReportTest, LogIsSilentWithoutDebug) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(pipe_fds[1], STDERR_FILENO);
  probe_log("hidden %d\n", 1);
  probe_debug = true;
  probe_log("shown %d\n", 2);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(pipe_fds[1]);
  char buffer[64] = {};
  ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer - 1);
  ::close(pipe_fds[0]);
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "shown 2\n");
}

}  // namespace
}  // namespace vorn
