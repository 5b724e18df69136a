#include "bridge/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/bridge/bounded_child.h"
#include "tests/bridge/temp_dir.h"

#include "bridge/bridge.h"
#include "frame/unique_fd.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

using testing::TempDir;

// Takes an open-file-description lock, which the record-lock test sees even
// from the same process (a plain record lock of our own would not conflict).
UniqueFd lock_file(const fs::path& path, short type) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  EXPECT_TRUE(fd.valid());
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;  // a part of the file is enough to conflict
  EXPECT_EQ(::fcntl(fd.get(), F_OFD_SETLK, &lock), 0) << errno;
  return fd;
}

TEST(ProfileInUse, SeesRecordLocksOnly) {
  TempDir dir;
  EXPECT_FALSE(profile_in_use(dir.path()));  // no .parentlock at all
  EXPECT_FALSE(fs::exists(dir.path() / ".parentlock"));  // and none was made
  const fs::path lock = dir.path() / ".parentlock";
  testing::write_file(lock, "x");
  EXPECT_FALSE(profile_in_use(dir.path()));
  {
    UniqueFd held = lock_file(lock, F_WRLCK);
    EXPECT_TRUE(profile_in_use(dir.path()));
  }
  {
    UniqueFd held = lock_file(lock, F_RDLCK);
    EXPECT_TRUE(profile_in_use(dir.path()));
  }
  EXPECT_FALSE(profile_in_use(dir.path()));
  // flock is the other kind of lock; the test does not see it.
  UniqueFd flocked(::open(lock.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(flocked.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(profile_in_use(dir.path()));
}

TEST(ProfileInUse, AFifoInPlaceOfTheLockIsNotWaitedFor) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir.path() / ".parentlock").c_str(), 0600), 0);
  EXPECT_TRUE(testing::finishes_in_child([&] { (void)profile_in_use(dir.path()); },
                                         std::chrono::seconds(20)));
}

// Sets environment variables for one test and restores them after it.
class EnvGuard {
 public:
  void set(const char* name, const char* value) {
    remember(name);
    ::setenv(name, value, 1);
  }
  void unset(const char* name) {
    remember(name);
    ::unsetenv(name);
  }
  ~EnvGuard() {
    for (auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  void remember(const char* name) {
    if (saved_.contains(name)) return;
    const char* value = std::getenv(name);
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(LaunchEnv, DropsTheGraphicsVariablesButWayland) {
  EnvGuard env;
  env.set("ZAX_GFX_DEBUG", "1");
  env.set("ZAX_OTHER", "1");
  env.set("ZAX_ENABLE_WAYLAND", "1");
  env.set("ZAX", "kept");
  env.set("ZAXX_Y", "kept");
  env.set("zax_lower", "kept");
  env.set("ZA", "kept");
  std::map<std::string, std::string> vars;
  for (auto& [name, value] : launch_env()) vars[name] = value;
  EXPECT_FALSE(vars.contains("ZAX_GFX_DEBUG"));
  EXPECT_FALSE(vars.contains("ZAX_OTHER"));
  EXPECT_EQ(vars["ZAX_ENABLE_WAYLAND"], "1");
  for (const char* name : {"ZAX", "ZAXX_Y", "zax_lower", "ZA"}) EXPECT_EQ(vars[name], "kept");
  EXPECT_EQ(vars["HOME"], std::getenv("HOME") ? std::getenv("HOME") : "");
}

// Waits, with a bound, for a file that a child writes last.
bool wait_for_file(const fs::path& path) {
  for (int i = 0; i < 2000; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SpawnBrowser, StartsTheBrowserDetachedWithItsOwnEnvironment) {
  TempDir dir;
  const fs::path out = dir.path() / "out";
  const fs::path program = dir.path() / "vorn";
  // The fake browser reports what it was given, then announces it is done.
  testing::write_file(
      program,
      "#!/bin/sh\n"
      "o='" + out.string() + "'\n"
      "fds=$(for fd in 0 1 2; do echo \"fd$fd $(readlink /proc/$$/fd/$fd)\"; done)\n"
      "{ echo \"pid $$\"; echo \"pgid $(cut -d' ' -f5 /proc/$$/stat)\";\n"
      "  echo \"args $*\"; env | sort; echo \"$fds\";\n"
      "  grep SigIgn /proc/$$/status; } > \"$o.tmp\"\n"
      "mv \"$o.tmp\" \"$o\"\n",
      0700);

  EnvGuard env;
  env.set("DESKTOP_STARTUP_ID", "inherited");
  env.set("XDG_ACTIVATION_TOKEN", "token");
  env.set("ZAX_GFX_DEBUG", "1");
  env.set("ZAX_ENABLE_WAYLAND", "1");
  // The bridge ignores SIGPIPE; the browser must not inherit that.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  ::sigaction(SIGPIPE, &ignore, &previous);
  auto started = spawn_browser(program, dir.path() / "my profile");
  ::sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(started.has_value()) << started.error().text();

  ASSERT_TRUE(wait_for_file(out));
  const std::string report = read_file(out);
  std::istringstream lines(report);
  std::string word;
  pid_t pid = 0;
  lines >> word >> pid;
  EXPECT_EQ(pid, *started);
  ASSERT_EQ(::waitpid(*started, nullptr, 0), *started);

  EXPECT_THAT(report, HasSubstr("pgid " + std::to_string(pid) + "\n"));
  EXPECT_THAT(report, HasSubstr("args --profile " + (dir.path() / "my profile").string() + "\n"));
  EXPECT_THAT(report,
              HasSubstr("\nDESKTOP_STARTUP_ID=vorn-mcp-" + std::to_string(::getpid()) + "_TIME1\n"));
  EXPECT_THAT(report, HasSubstr("\nZAX_ENABLE_WAYLAND=1\n"));
  EXPECT_THAT(report, Not(HasSubstr("XDG_ACTIVATION_TOKEN")));
  EXPECT_THAT(report, Not(HasSubstr("ZAX_GFX_DEBUG")));
  EXPECT_THAT(report, Not(HasSubstr("inherited")));
  for (int fd = 0; fd < 3; ++fd)
    EXPECT_THAT(report, HasSubstr("fd" + std::to_string(fd) + " /dev/null\n"));
  // SIGPIPE is signal 13: bit 0x1000 of the ignored set.
  const size_t sig = report.find("SigIgn:");
  ASSERT_NE(sig, std::string::npos);
  const unsigned long long ignored = std::stoull(report.substr(sig + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << 12), 0u);
}

TEST(SpawnBrowser, AMissingProgramIsAnErrorAndLeavesNoChild) {
  TempDir dir;
  auto started = spawn_browser(dir.path() / "vorn", dir.path());
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(started.error().text(), "No such file or directory (os error 2)");
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Counts launches and fails them on request.
class FakeLauncher final : public Launcher {
 public:
  Status launch(const fs::path& profile) override {
    profiles.push_back(profile);
    if (error) return fail(*error);
    return {};
  }
  std::vector<fs::path> profiles;
  std::optional<Error> error;
};

class StartBrowserTest : public ::testing::Test {
 protected:
  StartBrowserTest() {
    fs::create_directories(dir_.path() / "vorn-agents");
    state_.profile_dir = dir_.path();
    state_.launcher = launcher_;
    state_.initialize = Json::parse(R"({"jsonrpc":"2.0","id":1,"method":"initialize"})");
    state_.account = "account";
  }
  void write_port(const std::string& token) {
    testing::write_file(dir_.path() / "vorn-agents" / "port.json",
                        "{\"token\":\"" + token + "\",\"port\":4000}");
  }

  TempDir dir_;
  std::shared_ptr<FakeLauncher> launcher_ = std::make_shared<FakeLauncher>();
  BridgeState state_;
};

TEST_F(StartBrowserTest, LaunchesOnceAndOpensTheQueueWithThePortToken) {
  const std::string token(64, 'a');
  write_port(token);
  const auto before = std::chrono::steady_clock::now();
  start_browser_if_needed(state_);
  ASSERT_EQ(launcher_->profiles.size(), 1u);
  EXPECT_EQ(launcher_->profiles[0], dir_.path());
  ASSERT_TRUE(state_.launch_queue.has_value());
  EXPECT_TRUE(state_.launch_queue->entries.empty());
  EXPECT_EQ(state_.launch_queue->token, token);
  EXPECT_GE(state_.launch_queue->deadline, before + kLaunchWait);
  EXPECT_LE(state_.launch_queue->deadline, std::chrono::steady_clock::now() + kLaunchWait);
  ASSERT_TRUE(state_.last_launch.has_value());
  // While the queue is open nothing more is started.
  start_browser_if_needed(state_);
  EXPECT_EQ(launcher_->profiles.size(), 1u);
}

TEST_F(StartBrowserTest, StartsNothingWhenTheSessionDoesNotCallForIt) {
  testing::write_file(dir_.path() / ".parentlock", "");
  {
    UniqueFd held = lock_file(dir_.path() / ".parentlock", F_WRLCK);
    start_browser_if_needed(state_);  // the browser runs already
  }
  state_.account.reset();
  start_browser_if_needed(state_);
  state_.account = "account";
  state_.initialize.reset();
  start_browser_if_needed(state_);  // no session opened yet
  EXPECT_TRUE(launcher_->profiles.empty());
  state_.modern = true;  // a modern request opens it as well
  start_browser_if_needed(state_);
  EXPECT_EQ(launcher_->profiles.size(), 1u);
  EXPECT_FALSE(state_.launch_queue->token.has_value());  // there was no port.json
}

TEST_F(StartBrowserTest, AnyAttemptBlocksTheNextForThirtySeconds) {
  launcher_->error = Error::from_errno(ENOENT);
  ::testing::internal::CaptureStderr();
  start_browser_if_needed(state_);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn-mcp: could not start Vorn: No such file or directory (os error 2)\n");
  EXPECT_FALSE(state_.launch_queue.has_value());
  EXPECT_EQ(launcher_->profiles.size(), 1u);

  launcher_->error.reset();
  *state_.last_launch -= std::chrono::seconds(29);
  start_browser_if_needed(state_);
  EXPECT_EQ(launcher_->profiles.size(), 1u);
  *state_.last_launch -= std::chrono::seconds(1);
  start_browser_if_needed(state_);
  EXPECT_EQ(launcher_->profiles.size(), 2u);
  EXPECT_TRUE(state_.launch_queue.has_value());
}

}  // namespace
}  // namespace vorn
