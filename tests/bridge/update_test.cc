#include "bridge/update.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/bridge/bounded_child.h"
#include "tests/bridge/temp_dir.h"

#include "frame/json.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using testing::TempDir;

// Writes an executable shell script and closes it, so it can run at once.
fs::path write_script(const fs::path& path, const std::string& body) {
  testing::write_file(path, "#!/bin/sh\n" + body + "\n", 0700);
  return path;
}

// A probe never leaves a child behind: the test process has none left.
void expect_no_children() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

std::optional<std::string> probed(const fs::path& program,
                                  std::chrono::milliseconds limit = kProbeLimit) {
  auto result = probe_version(program, limit);
  EXPECT_TRUE(result.has_value()) << result.error().text();
  expect_no_children();
  return result ? *result : std::nullopt;
}

TEST(ProbeVersion, TakesTheStampAfterTheProgramName) {
  TempDir dir;
  EXPECT_EQ(probed(write_script(dir.path() / "a", "printf 'vorn-mcp 20261106100303\\r\\n'")),
            "20261106100303");
  // Inner spaces stay; trailing Unicode white space (an ideographic space) goes.
  EXPECT_EQ(probed(write_script(dir.path() / "b", "printf 'vorn-mcp 1 2  \\343\\200\\200\\n'")),
            "1 2");
}

TEST(ProbeVersion, AnythingButAProperAnswerGivesNoVersion) {
  TempDir dir;
  const char* bodies[] = {
      "printf 'vorn-mcp \\n'",                       // nothing after the prefix
      "printf 'vorn-mcp'",                           // no space
      "printf ' vorn-mcp 1\\n'",                     // leading white space is kept
      "printf 'vorn-mcp 1\\n'; exit 1",              // failing status
      "printf 'vorn-mcp 1\\n'; kill -9 $$",          // killed by a signal
      "printf 'vorn-mcp \\377\\n'",                  // not UTF-8
      "printf 'vorn-folder 20261106100303\\n'",      // another program
  };
  int n = 0;
  for (const char* body : bodies) {
    EXPECT_EQ(probed(write_script(dir.path() / std::to_string(n++), body)), std::nullopt) << body;
  }
}

TEST(ProbeVersion, StopsAProgramThatOutlivesTheLimit) {
  TempDir dir;
  // One that never exits, and one that fills the pipe before it would exit.
  EXPECT_EQ(probed(write_script(dir.path() / "sleeper", "exec sleep 1000"),
                   std::chrono::milliseconds(100)),
            std::nullopt);
  EXPECT_EQ(probed(write_script(dir.path() / "flood", "exec head -c 1000000 /dev/zero"),
                   std::chrono::milliseconds(300)),
            std::nullopt);
}

// Makes the test process the reaper of orphaned descendants while it lives.
class SubreaperScope {
 public:
  SubreaperScope() { ok_ = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }
  ~SubreaperScope() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// Ends the input of whoever reads `fifo` once a reader has it open (a
// reader still blocked in its open counts): our writer opens and closes
// without writing. False when no reader came within `bound`.
bool release_fifo_reader(const fs::path& fifo, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) {
      ::close(writer);
      return true;
    }
    if (errno != ENXIO && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Reaps one child, waiting at most `bound`.
bool reap_a_child(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (::waitpid(-1, nullptr, WNOHANG) > 0) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// A program may leave a child behind that still holds its output open; the
// probe takes what the program wrote and does not wait for that child.
TEST(ProbeVersion, DoesNotWaitForAGrandchildHoldingTheOutput) {
  TempDir dir;
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << ::strerror(errno);
  fs::path program = write_script(
      dir.path() / "forks", "(read line < '" + fifo.string() + "') &\necho 'vorn-mcp 7'");
  SubreaperScope reaper;
  ASSERT_TRUE(reaper.ok()) << ::strerror(errno);
  auto result = probe_version(program);
  // A program that could not start left no grandchild to wait for.
  ASSERT_TRUE(result.has_value()) << result.error().text();
  // Let the grandchild go, and reap it: it has come to us.
  ASSERT_TRUE(release_fifo_reader(fifo, std::chrono::seconds(20)))
      << "the probed program's child never opened the FIFO";
  ASSERT_TRUE(reap_a_child(std::chrono::seconds(20)));
  EXPECT_EQ(*result, "7");
  expect_no_children();
}

TEST(ProbeVersion, ReportsAProgramThatCannotStart) {
  TempDir dir;
  auto missing = probe_version(dir.path() / "missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error, ENOENT);

  // A file still open for writing cannot be executed.
  fs::path busy = write_script(dir.path() / "busy", "echo vorn-mcp 1");
  int writer = ::open(busy.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  auto result = probe_version(busy);
  ::close(writer);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().os_error, ETXTBSY);
  expect_no_children();
}

// A program file whose every run is counted in a log beside it.
class UpdateTest : public ::testing::Test {
 protected:
  fs::path program() const { return dir_.path() / "vorn-mcp"; }
  fs::path log() const { return dir_.path() / "runs"; }

  // Replaces the program file by a new one (a new inode) answering `stamp`.
  void install(const std::string& stamp) {
    fs::path next = dir_.path() / "next";
    write_script(next, "echo run >> '" + log().string() + "'\necho 'vorn-mcp " + stamp + "'");
    fs::rename(next, program());
  }
  int runs() const {
    std::ifstream in(log());
    int count = 0;
    for (std::string line; std::getline(in, line);) ++count;
    return count;
  }
  ExeSnapshot snapshot() {
    auto status = stat_file(program());
    EXPECT_TRUE(status.has_value());
    return ExeSnapshot{status ? std::optional(*status) : std::nullopt, program(), nullptr};
  }

  TempDir dir_;
};

TEST_F(UpdateTest, AnUnchangedFileIsNeverProbed) {
  install("20261106100303");
  ExeSnapshot snap = snapshot();
  EXPECT_FALSE(update_available(snap, "20261106100303"));
  EXPECT_FALSE(update_available(snap, "other"));
  EXPECT_EQ(runs(), 0);
}

TEST_F(UpdateTest, AnyOtherStampIsAnUpdate) {
  install("1");
  ExeSnapshot snap = snapshot();
  install("20200101000000");  // older than our own: still an update
  EXPECT_TRUE(update_available(snap, "20261106100303"));
  EXPECT_EQ(runs(), 1);
  EXPECT_EQ(snap.status, *stat_file(program()));
  // The new status is recorded: the same file is not asked twice.
  EXPECT_FALSE(update_available(snap, "20261106100303"));
  EXPECT_EQ(runs(), 1);
}

TEST_F(UpdateTest, TheSameBuildReinstalledIsProbedOnce) {
  install("20261106100303");
  ExeSnapshot snap = snapshot();
  install("20261106100303");
  EXPECT_FALSE(update_available(snap, "20261106100303"));
  EXPECT_FALSE(update_available(snap, "20261106100303"));
  EXPECT_EQ(runs(), 1);
}

TEST_F(UpdateTest, AnUnknownStatusProbesAtOnce) {
  install("20261106100303");
  ExeSnapshot snap = snapshot();
  snap.status.reset();
  EXPECT_FALSE(update_available(snap, "20261106100303"));
  EXPECT_EQ(runs(), 1);
  EXPECT_TRUE(snap.status.has_value());
}

TEST_F(UpdateTest, AFileOpenForWritingIsAskedAgainLater) {
  install("1");
  ExeSnapshot snap = snapshot();
  const FileStatus before = *snap.status;
  install("2");
  int writer = ::open(program().c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  EXPECT_FALSE(update_available(snap, "1"));
  EXPECT_FALSE(update_available(snap, "1"));
  EXPECT_EQ(snap.status, before);
  ::close(writer);
  EXPECT_TRUE(update_available(snap, "1"));
}

TEST_F(UpdateTest, ARemovedFileChangesNothing) {
  install("1");
  ExeSnapshot snap = snapshot();
  const FileStatus before = *snap.status;
  fs::remove(program());
  EXPECT_FALSE(update_available(snap, "2"));
  EXPECT_EQ(snap.status, before);
}

TEST_F(UpdateTest, AFailedProbeStillRecordsTheFile) {
  install("1");
  ExeSnapshot snap = snapshot();
  fs::path next = dir_.path() / "next";
  write_script(next, "echo run >> '" + log().string() + "'\nexit 3");
  fs::rename(next, program());
  EXPECT_FALSE(update_available(snap, "1"));
  EXPECT_FALSE(update_available(snap, "1"));
  EXPECT_EQ(runs(), 1);
}

TEST(ResumeText, KeepsTheFieldOrderAndWritesNoneAsNull) {
  EXPECT_EQ(resume_text(Resume{}),
            "{\"initialize\":null,\"initialized\":false,\"account\":null,\"started\":0,"
            "\"tools\":null,\"listed_without_vorn\":false,\"modern\":false,\"client\":null,"
            "\"subscriptions\":[],\"workspace\":null}");
  Resume full;
  full.initialize = Json::parse(R"({"method":"initialize","id":1.0,"jsonrpc":"2.0"})");
  full.initialized = true;
  full.account = "a\"b";
  full.started = UINT64_MAX;
  full.tools = Json::parse(R"({"tools":[]})");
  full.listed_without_vorn = true;
  full.modern = true;
  full.client = "Claude";
  full.subscriptions = {Json(7), Json("x")};
  full.workspace = "w";
  EXPECT_EQ(resume_text(full),
            "{\"initialize\":{\"id\":1.0,\"jsonrpc\":\"2.0\",\"method\":\"initialize\"},"
            "\"initialized\":true,\"account\":\"a\\\"b\",\"started\":18446744073709551615,"
            "\"tools\":{\"tools\":[]},\"listed_without_vorn\":true,\"modern\":true,"
            "\"client\":\"Claude\",\"subscriptions\":[7,\"x\"],\"workspace\":\"w\"}");
  auto back = decode_resume(resume_text(full));
  ASSERT_TRUE(back.has_value()) << back.error().text();
  EXPECT_EQ(resume_text(*back), resume_text(full));
  EXPECT_TRUE((*back->initialize)["id"].is_number_float());
}

TEST(DecodeResume, MissingKeysTakeTheirDefaultsAndUnknownOnesAreSkipped) {
  auto empty = decode_resume(" {} ");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(resume_text(*empty), resume_text(Resume{}));
  auto extra = decode_resume(R"({"modern":true,"future":[1,{"a":2}],"started":5})");
  ASSERT_TRUE(extra.has_value()) << extra.error().text();
  EXPECT_TRUE(extra->modern);
  EXPECT_EQ(extra->started, 5u);
  auto array = decode_resume(R"([{"id":1},true,null,9])");
  ASSERT_TRUE(array.has_value()) << array.error().text();
  EXPECT_TRUE(array->initialize.has_value());
  EXPECT_TRUE(array->initialized);
  EXPECT_EQ(array->started, 9u);
  EXPECT_FALSE(array->modern);
}

TEST(DecodeResume, RefusesMalformedRecordsWithAPosition) {
  auto duplicate = decode_resume(R"({"modern":true,"modern":false})");
  ASSERT_FALSE(duplicate.has_value());
  EXPECT_THAT(duplicate.error().text(), StartsWith("duplicate field `modern` at line 1 column"));
  auto not_record = decode_resume("5");
  ASSERT_FALSE(not_record.has_value());
  EXPECT_THAT(not_record.error().text(), HasSubstr("expected struct Resume at line 1 column"));
  const char* refused[] = {
      R"({"started":-1})",    R"({"modern":1})",      R"({"account":5})",
      R"({"subscriptions":{}})", R"([null,false,null,0,null,false,false,null,[],null,1])",
      R"({} x)",              "",
  };
  for (const char* text : refused) EXPECT_FALSE(decode_resume(text).has_value()) << text;
}

// Saves and restores one environment variable around a test.
class ScopedEnv {
 public:
  explicit ScopedEnv(const char* name) : name_(name) {
    if (const char* value = std::getenv(name)) saved_ = value;
  }
  ~ScopedEnv() {
    if (saved_) {
      ::setenv(name_, saved_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(TakeResume, TakesTheRecordOnceAndRemovesTheVariable) {
  ScopedEnv env(kResumeVar);
  ::unsetenv(kResumeVar);
  EXPECT_FALSE(take_resume().has_value());

  ::setenv(kResumeVar, R"({"started":42,"client":"Claude"})", 1);
  auto taken = take_resume();
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->started, 42u);
  EXPECT_EQ(taken->client, "Claude");
  EXPECT_EQ(std::getenv(kResumeVar), nullptr);
  EXPECT_FALSE(take_resume().has_value());
}

TEST(TakeResume, ABadRecordStartsAFreshSession) {
  ScopedEnv env(kResumeVar);
  ::setenv(kResumeVar, R"({"modern":true,"modern":true})", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(take_resume().has_value());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, StartsWith("vorn-mcp: could not take up the session it was handed: "
                              "duplicate field `modern` at line 1 column "));
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(std::getenv(kResumeVar), nullptr);

  // A value that is not UTF-8 is not ours to take: it stays, silently.
  ::setenv(kResumeVar, "{\"client\":\"\xff\"}", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(take_resume().has_value());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_NE(std::getenv(kResumeVar), nullptr);
}

TEST(ExecUpdate, AFailedExecLeavesTheProcessAsItWas) {
  ScopedEnv env(kResumeVar);
  ::unsetenv(kResumeVar);
  TempDir dir;
  ExeSnapshot missing{std::nullopt, dir.path() / "gone", nullptr};
  Error error = exec_update(missing, Resume{});
  EXPECT_EQ(error.os_error, ENOENT);
  EXPECT_EQ(std::getenv(kResumeVar), nullptr);

  // Without its own arguments the successor would start on another profile:
  // when they cannot be read (no descriptor left), nothing is executed.
  ExeSnapshot marker{std::nullopt, write_script(dir.path() / "marker", "exit 7"), nullptr};
  EXPECT_TRUE(testing::finishes_in_child(
      [&] {
        const rlimit none{3, 3};
        if (::setrlimit(RLIMIT_NOFILE, &none) != 0) ::_exit(2);
        ::_exit(exec_update(marker, Resume{}).os_error == EMFILE ? 0 : 1);
      },
      std::chrono::seconds(20)));

  // A record beyond the size of one environment string cannot be handed on.
  ExeSnapshot snap{std::nullopt, write_script(dir.path() / "ok", "exit 0"), nullptr};
  Resume huge;
  huge.client = std::string(200 * 1024, 'x');
  EXPECT_EQ(exec_update(snap, huge).os_error, E2BIG);
}

}  // namespace
}  // namespace vorn
