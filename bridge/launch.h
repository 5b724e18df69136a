// Starting the browser on the bridge's profile, and holding tool calls while
// it comes up.
//
// The browser is the program `vorn` beside the bridge's own program file. It
// holds a POSIX record lock on the profile's `.parentlock` while it runs and
// writes a fresh `port.json` token once it listens; the bridge uses the first
// to decide whether to start it and the second to know when it is ready.
//
// Everything here runs on the relay loop's thread; nothing is locked.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/mcp.h"
#include "frame/error.h"
#include "frame/frame.h"

namespace vorn {

struct BridgeState;

// True when another process holds a record lock on `<profile>/.parentlock`
// that would conflict with a whole-file write lock. A missing or unreadable
// file, or a failing test, counts as not in use. Locks taken with flock are
// invisible to this test.
bool profile_in_use(const std::filesystem::path& profile);

// The environment the browser inherits before the launch's own changes: the
// bridge's environment less every `ZAX_` variable but `ZAX_ENABLE_WAYLAND`.
std::vector<std::pair<std::string, std::string>> launch_env();

// Starts `program --profile <profile>` detached: standard streams on
// /dev/null, a process group of its own, SIGPIPE at its default, and the
// environment of `launch_env` with DESKTOP_STARTUP_ID naming this bridge and
// no XDG_ACTIVATION_TOKEN. Gives the child's process id; the child is not
// waited for. A child that cannot execute the program is reaped before the
// error returns.
[[nodiscard]] Result<pid_t> spawn_browser(const std::filesystem::path& program,
                                          const std::filesystem::path& profile);

// `spawn_browser` with the `vorn` program in the directory of the bridge's
// own canonical program path.
[[nodiscard]] Result<pid_t> launch_browser(const std::filesystem::path& profile);

// Starts the browser; a seam so that sessions can be driven without one.
class Launcher {
 public:
  virtual ~Launcher() = default;
  [[nodiscard]] virtual Status launch(const std::filesystem::path& profile) = 0;
  // Collects the browsers it started that have ended since, without waiting,
  // so that none stays a zombie for the rest of the session.
  virtual void reap_ended() {}
};

// The launcher of a real session: `launch_browser`. It remembers the browsers
// it started only to collect their exit; it never waits for or signals them.
class BrowserLauncher final : public Launcher {
 public:
  [[nodiscard]] Status launch(const std::filesystem::path& profile) override;
  void reap_ended() override;

 private:
  std::vector<pid_t> started_;
};

// A request held while a started browser comes up.
struct QueuedRequest {
  PendingMeta meta;
  nlohmann::json id;
  Frame frame;  // the request wrapped as {"mcp": request}, encoded
};

// Requests held after a launch until `port.json` shows a token other than
// `token` or `deadline` passes; the relay loop then forwards them in order.
struct LaunchQueue {
  std::vector<QueuedRequest> entries;
  std::optional<std::string> token;  // the `port.json` token seen before the launch
  std::chrono::steady_clock::time_point deadline;
};

// Starts the browser for a tool call when it is needed and allowed: no
// connection, no queue, a session opened by the agent with an account, the
// profile not in use, and no attempt in the last 30 seconds. On success it
// opens the launch queue; on failure it reports one line on standard error.
void start_browser_if_needed(BridgeState& state);

// How long a started browser may take to show a new `port.json` token, and
// how long a launch attempt, failed or not, blocks the next one.
inline constexpr std::chrono::seconds kLaunchWait{30};

}  // namespace vorn
