#include "bridge/launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "bridge/bridge.h"
#include "bridge/connection.h"
#include "bridge/discovery.h"
#include "frame/unique_fd.h"

extern char** environ;

namespace vorn {
namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    attr_ok_ = posix_spawnattr_init(&attr_) == 0;
    actions_ok_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ok_) posix_spawn_file_actions_destroy(&actions_);
    if (attr_ok_) posix_spawnattr_destroy(&attr_);
  }
  bool ok() const { return attr_ok_ && actions_ok_; }
  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attr_ok_ = false;
  bool actions_ok_ = false;
};

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

bool profile_in_use(const std::filesystem::path& profile) {
  // Non-blocking: a FIFO in place of the lock file would otherwise stop the
  // bridge until someone opened it for writing.
  UniqueFd fd(::open((profile / ".parentlock").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;
  if (::fcntl(fd.get(), F_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

std::vector<std::pair<std::string, std::string>> launch_env() {
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    // The name may itself begin with '='; it ends at the first '=' after that.
    const size_t equals = text.empty() ? std::string_view::npos : text.find('=', 1);
    if (equals == std::string_view::npos) continue;
    std::string_view name = text.substr(0, equals);
    if (name.starts_with("ZAX_") && name != "ZAX_ENABLE_WAYLAND") continue;
    vars.emplace_back(std::string(name), std::string(text.substr(equals + 1)));
  }
  return vars;
}

Result<pid_t> spawn_browser(const std::filesystem::path& program,
                            const std::filesystem::path& profile) {
  std::vector<std::string> env;
  for (auto& [name, value] : launch_env()) {
    if (name == "DESKTOP_STARTUP_ID" || name == "XDG_ACTIVATION_TOKEN") continue;
    env.push_back(name + "=" + value);
  }
  env.push_back("DESKTOP_STARTUP_ID=vorn-mcp-" + std::to_string(::getpid()) + "_TIME1");
  std::vector<std::string> args{program.string(), "--profile", profile.string()};

  SpawnSetup setup;
  if (!setup.ok()) return fail(ErrorKind::kOther, "could not prepare the browser's start");
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t no_mask;
  sigemptyset(&no_mask);
  int rc = posix_spawnattr_setflags(
      setup.attr(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc == 0) rc = posix_spawnattr_setpgroup(setup.attr(), 0);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(setup.attr(), &defaults);
  if (rc == 0) rc = posix_spawnattr_setsigmask(setup.attr(), &no_mask);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(setup.actions(), 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(setup.actions(), 1, "/dev/null", O_WRONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(setup.actions(), 2, "/dev/null", O_WRONLY, 0);
  if (rc != 0) return fail_errno(rc);

  std::vector<char*> argv = c_strings(args);
  std::vector<char*> envp = c_strings(env);
  pid_t pid = -1;
  // glibc reports a failed exec here and has then reaped the child already.
  rc = ::posix_spawn(&pid, args[0].c_str(), setup.actions(), setup.attr(), argv.data(),
                     envp.data());
  if (rc != 0) return fail_errno(rc);
  return pid;
}

Result<pid_t> launch_browser(const std::filesystem::path& profile) {
  std::filesystem::path dir = TRY(exe_dir());
  return spawn_browser(join_path(dir, "vorn"), profile);
}

Status BrowserLauncher::launch(const std::filesystem::path& profile) {
  started_.push_back(TRY(launch_browser(profile)));
  return {};
}

void BrowserLauncher::reap_ended() {
  // Only our own children are asked, and each is dropped once collected, so
  // no other process's exit is ever taken.
  std::erase_if(started_, [](pid_t pid) {
    pid_t done;
    do {
      done = ::waitpid(pid, nullptr, WNOHANG);
    } while (done < 0 && errno == EINTR);
    return done != 0;
  });
}

void start_browser_if_needed(BridgeState& state) {
  if (state.connection || state.launch_queue) return;
  if (!state.initialize && !state.modern) return;
  if (!state.account) return;
  if (profile_in_use(state.profile_dir)) return;
  std::optional<std::string> token;
  if (auto port = read_port_file(state.profile_dir)) token = port->token;
  const auto now = std::chrono::steady_clock::now();
  if (state.last_launch && now - *state.last_launch < kLaunchWait) return;
  // Set before the attempt, so a failing launch is not retried at once either.
  state.last_launch = now;
  if (auto launched = state.launcher->launch(state.profile_dir); !launched) {
    report("could not start Vorn: " + launched.error().text());
    return;
  }
  state.launch_queue =
      LaunchQueue{{}, std::move(token), std::chrono::steady_clock::now() + kLaunchWait};
}

}  // namespace vorn
