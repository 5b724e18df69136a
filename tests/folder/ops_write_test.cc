#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <regex>

#include "tests/folder/fs_fixture.h"

namespace vorn::folder {
namespace {

using testing::FsTest;
using testing::text;

class WriteTest : public FsTest {
 protected:
  OpResult write(std::string_view path, std::string_view payload) {
    return write_file(root_fd().get(), path, payload);
  }
  // Names in `dir` that look like temporary files of a write.
  static std::vector<std::string> temps_in(const std::string& dir) {
    std::vector<std::string> temps;
    static const std::regex pattern(R"(.*\.[0-9a-f]{16}\.tmp)");
    for (const std::string& name : names_in(dir)) {
      if (std::regex_match(name, pattern)) temps.push_back(name);
    }
    return temps;
  }
};

TEST_F(WriteTest, CreatesMissingParentsWithModesAndReplacesWhole) {
  EXPECT_EQ(text(write("a/b/c.txt", "first content")), R"({"reachable":true})");
  EXPECT_EQ(get(at("a/b/c.txt")), "first content");
  EXPECT_EQ(mode_of(at("a")) & 07777, 0755u);
  EXPECT_EQ(mode_of(at("a/b")) & 07777, 0755u);
  EXPECT_TRUE(S_ISREG(mode_of(at("a/b/c.txt"))));
  EXPECT_EQ(mode_of(at("a/b/c.txt")) & 07777, 0644u);

  // A replaced file keeps its permission bits, a private one included.
  ASSERT_EQ(chmod(at("a/b/c.txt").c_str(), 0600), 0);
  EXPECT_EQ(text(write("a/b/c.txt", "2nd")), R"({"reachable":true})");
  EXPECT_EQ(get(at("a/b/c.txt")), "2nd");
  EXPECT_EQ(mode_of(at("a/b/c.txt")) & 07777, 0600u);
  EXPECT_EQ(text(write("a/b/c.txt", "")), R"({"reachable":true})");
  EXPECT_EQ(get(at("a/b/c.txt")), "");
  EXPECT_EQ(names_in(at("a/b")), std::vector<std::string>{"c.txt"});
}

TEST_F(WriteTest, PayloadLimitIsInclusive) {
  if (std::string why = short_of_room(WRITE_LIMIT + (1 << 20)); !why.empty()) GTEST_SKIP() << why;
  // Bytes that differ from piece to piece, so a misplaced piece shows.
  std::string payload(WRITE_LIMIT, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 % 251);
  EXPECT_EQ(text(write("big", payload)), R"({"reachable":true})");
  EXPECT_EQ(std::filesystem::file_size(at("big")), WRITE_LIMIT);
  EXPECT_TRUE(get(at("big")) == payload);
  payload.push_back('p');
  EXPECT_EQ(text(write("new/dir/big", payload)),
            R"({"error":"TooLarge","reachable":false,"reason":"io-error"})");
  EXPECT_FALSE(present(at("new")));
}

TEST_F(WriteTest, RefusesDirectoriesLinksAndFilesInTheWay) {
  make_dir(at("dir"));
  EXPECT_EQ(text(write("dir", "x")), R"({"error":"IsDirectory","reachable":false,"reason":"io-error"})");
  link(outside_ + "/secret", at("to-secret"));
  link(outside_ + "/absent", at("dangling"));
  for (std::string_view target : {"to-secret", "dangling"}) {
    EXPECT_EQ(text(write(target, "x")), R"({"error":"Symlink","reachable":false,"reason":"io-error"})");
  }
  put(at("file"), "keep");
  EXPECT_EQ(text(write("file/x", "x")), "error:NoModificationAllowedError");
  EXPECT_EQ(text(write("file/y/x", "x")), "error:InvalidAccessError");
  EXPECT_EQ(get(at("file")), "keep");
  EXPECT_TRUE(temps_in(root_).empty());
  expect_outside_untouched();
}

TEST_F(WriteTest, ParentLinksNeverLeadOutside) {
  link(outside_, at("out"));
  make_dir(at("in"));
  link(outside_, at("in/deeper"));
  for (std::string_view path : {"out/secret", "out/new", "in/deeper/new/file"}) {
    EXPECT_EQ(text(write(path, "x")), R"({"error":"Symlink","reachable":false,"reason":"io-error"})");
  }
  expect_outside_untouched();
}

TEST_F(WriteTest, FailedWriteKeepsOldContentAndLeavesNoTemporary) {
  put(at("d/target"), "old content");
  // A child with a tiny file-size limit: the write fails with EFBIG.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4, 4};
    setrlimit(RLIMIT_FSIZE, &limit);
    OpResult result = write("d/target", "new content that is too long");
    _exit(!result && result.error() == "NotReadableError" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(get(at("d/target")), "old content");
  EXPECT_EQ(names_in(at("d")), std::vector<std::string>{"target"});
}

TEST_F(WriteTest, SweepsOnlyStaleTemporariesOfTheSameTarget) {
  std::string dir = at("d");
  make_dir(dir);
  auto temp = [&](const std::string& name) { return dir + "/" + name; };
  const std::string stale = "t.txt.0123456789abcdef.tmp";  // left by a crashed write
  const std::string young = "t.txt.1111111111111111.tmp";
  const std::string boundary = "t.txt.2222222222222222.tmp";
  const std::string upper = "t.txt.0123456789ABCDEF.tmp";
  const std::string plain = "t.txt.tmp";
  const std::string other = "u.txt.0123456789abcdef.tmp";
  const std::string as_dir = "t.txt.3333333333333333.tmp";
  const std::string as_link = "t.txt.4444444444444444.tmp";
  const std::string future = "t.txt.5555555555555555.tmp";
  for (const std::string& name : {stale, young, boundary, upper, plain, other, future}) put(temp(name), "x");
  make_dir(temp(as_dir));
  put(outside_ + "/old", "target of a link");
  link(outside_ + "/old", temp(as_link));
  for (const std::string& name : {stale, upper, plain, other, as_dir, as_link}) age(temp(name), 601);
  age(outside_ + "/old", 601);
  age(temp(young), 300);
  age(temp(boundary), 599);  // younger than the limit even after a slow run
  age(temp(future), -3600);

  ASSERT_EQ(text(write("d/t.txt", "fresh")), R"({"reachable":true})");
  std::vector<std::string> expected = {as_dir, as_link, boundary, future, plain, young, upper, "t.txt", other};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(dir), expected);
  EXPECT_EQ(get(outside_ + "/old"), "target of a link");
  EXPECT_EQ(get(temp("t.txt")), "fresh");
}

// Entry names are judged as text: ill-formed bytes read as U+FFFD, so the raw
// name of a temporary need not equal the target's name byte for byte, while a
// name that merely ends or starts like the target's is someone else's.
TEST_F(WriteTest, SweepJudgesWholeNamesAsText) {
  std::string dir = at("d");
  make_dir(dir);
  const std::string tail = ".0123456789abcdef.tmp";
  const std::string lossy = "t\xFF" + tail;  // reads as "t\uFFFD" + tail
  const std::string longer = "xt" + tail;
  const std::string nested = "t.x" + tail;
  const std::string short_token = "t.0123456789abcde.tmp";
  for (const std::string& name : {lossy, longer, nested, short_token}) {
    put(dir + "/" + name, "x");
    age(dir + "/" + name, 601);
  }
  ASSERT_EQ(text(write("d/t\xEF\xBF\xBD", "fresh")), R"({"reachable":true})");
  std::vector<std::string> expected = {"t\xEF\xBF\xBD", longer, nested, short_token};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(dir), expected);
  ASSERT_EQ(text(write("d/t", "fresh")), R"({"reachable":true})");
  expected.push_back("t");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(dir), expected);
}

TEST_F(WriteTest, FailedWriteDoesNotSweep) {
  put(at("d/t.txt.0123456789abcdef.tmp"), "x");
  age(at("d/t.txt.0123456789abcdef.tmp"), 601);
  make_dir(at("d/t.txt"));
  EXPECT_EQ(text(write("d/t.txt", "x")), R"({"error":"IsDirectory","reachable":false,"reason":"io-error"})");
  EXPECT_TRUE(present(at("d/t.txt.0123456789abcdef.tmp")));
}

TEST(StaleTemporary, MoreThanSixHundredSecondsIsStale) {
  timespec now{1'000'000, 500};
  auto stale = [&](time_t sec, long nsec) { return temp_file_is_stale(timespec{sec, nsec}, now); };
  EXPECT_FALSE(stale(1'000'000 - 600, 500));  // exactly 600 s
  EXPECT_TRUE(stale(1'000'000 - 600, 499));   // 600 s and 1 ns
  EXPECT_TRUE(stale(1'000'000 - 601, 999'999'999));
  EXPECT_FALSE(stale(1'000'000 - 600, 999'999'999));
  EXPECT_FALSE(stale(1'000'000, 501));  // in the future
  EXPECT_FALSE(stale(1'000'000, 500));
}

TEST(RandomToken, IsSixteenLowercaseHexDigitsAndVaries) {
  Result<std::string> a = random_token(), b = random_token();
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(std::regex_match(*a, std::regex("[0-9a-f]{16}")));
  EXPECT_NE(*a, *b);
  EXPECT_EQ(to_hex(std::string("\x00\x9f\xff", 3)), "009fff");
}

}  // namespace
}  // namespace vorn::folder
