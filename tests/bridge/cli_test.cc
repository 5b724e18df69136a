#include "bridge/cli.h"

#include <gtest/gtest.h>

#include <vector>

#include "bridge/bridge.h"

namespace vorn {
namespace {

CommandLine parse(std::vector<std::string_view> args) { return parse_command_line(args); }

TEST(CommandLine, ModesAndTheirPrecedence) {
  EXPECT_EQ(parse({}).mode, CommandLine::Mode::kRun);
  EXPECT_FALSE(parse({}).profile.has_value());
  EXPECT_EQ(parse({"--version", "--bogus"}).mode, CommandLine::Mode::kVersion);
  EXPECT_EQ(parse({"-h", "--bogus"}).mode, CommandLine::Mode::kHelp);
  EXPECT_EQ(parse({"--help"}).mode, CommandLine::Mode::kHelp);
  const CommandLine late = parse({"--bogus", "--version"});
  EXPECT_EQ(late.mode, CommandLine::Mode::kUsageError);
  EXPECT_EQ(late.error, "unknown argument --bogus");
}

TEST(CommandLine, ProfileNeedsANonEmptyValueAndTheLastOneWins) {
  EXPECT_EQ(parse({"--profile"}).error, "--profile needs a directory");
  EXPECT_EQ(parse({"--profile", ""}).error, "--profile needs a directory");
  EXPECT_EQ(parse({"--profile", "/a", "--profile", "/b"}).profile, "/b");
  // The value is taken as raw bytes, even when it looks like an option or
  // is not UTF-8.
  EXPECT_EQ(parse({"--profile", "--version"}).profile, "--version");
  EXPECT_EQ(parse({"--profile", "/p\xff"}).profile, "/p\xff");
}

TEST(CommandLine, ArgumentsThatAreNotUtf8AreShownLossily) {
  const CommandLine line = parse({"a\xff" "b"});
  EXPECT_EQ(line.mode, CommandLine::Mode::kUsageError);
  EXPECT_EQ(line.error, "unknown argument a\xef\xbf\xbd" "b");
}

TEST(SessionParams, EpochMillisSaturatesAndFloors) {
  EXPECT_EQ(epoch_millis(-1, 999999999), 0u);
  EXPECT_EQ(epoch_millis(1, 999999), 1000u);
  EXPECT_EQ(epoch_millis(1700000000, 123456789), 1700000000123u);
  EXPECT_EQ(epoch_millis(INT64_MAX, 0), UINT64_MAX);
  const SessionParams params = session_params();
  EXPECT_EQ(params.handshake_timeout.count(), 5000);
  EXPECT_EQ(params.write_timeout.count(), 10000);
  EXPECT_GT(params.started, 1600000000000u);
  EXPECT_FALSE(params.cwd.empty());
}

}  // namespace
}  // namespace vorn
