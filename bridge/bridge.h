// The agent bridge's session: its whole state, the relay loop that owns it,
// and the start-up that builds it.
//
// One main thread owns BridgeState and is the only receiver of the event
// channel; the stdin reader and one socket reader per browser connection
// reach it only through that channel (bridge/stdin.h). Nothing here is
// locked except the stdin reader's shared record, which the loop reaches
// through the program-file snapshot for its self-update test.
//
// Headers included here declare their own functions on BridgeState with a
// forward declaration (`struct BridgeState;`), never by including this file.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/connection.h"
#include "bridge/events.h"
#include "bridge/handshake.h"
#include "bridge/launch.h"
#include "bridge/mcp.h"
#include "bridge/secrets.h"
#include "bridge/update.h"
#include "frame/error.h"
#include "frame/json.h"

namespace vorn {

// Values fixed once per session.
struct SessionParams {
  std::filesystem::path cwd;  // empty when the working directory cannot be read
  std::chrono::milliseconds handshake_timeout{5000};
  std::chrono::milliseconds write_timeout{10000};
  // Milliseconds since the Unix epoch at the session's first start; kept
  // across hand-overs.
  std::uint64_t started = 0;
};

// The process's working directory and start time with the fixed time-outs.
SessionParams session_params();

// Milliseconds since the epoch for a real-time clock reading: seconds * 1000
// + nanoseconds / 1e6, saturated at the largest value, 0 before the epoch.
std::uint64_t epoch_millis(std::int64_t seconds, std::int64_t nanoseconds);

// Standard output towards the agent: one JSON message per line. The buffer
// is reused so that no line costs an allocation once warm.
struct AgentOut {
  int fd = 1;
  std::string buffer;
};

struct BridgeState {
  EventSender events;  // cloned into each socket reader
  std::optional<ExeSnapshot> exe_snapshot;
  std::filesystem::path profile_dir;
  SessionParams params;
  std::vector<Json> subscriptions;  // ids of listening subscriptions
  std::optional<std::string> account;
  std::optional<std::string> workspace;
  std::optional<std::string> client;
  std::optional<Credentials> credentials;  // last pair the browser sent
  std::optional<LaunchQueue> launch_queue;
  std::optional<std::string> last_port_token;
  std::optional<std::chrono::steady_clock::time_point> last_launch;
  Json identity;                   // null until built
  std::optional<Json> initialize;  // the agent's first initialize
  std::optional<Json> tools;       // result of the last tools/list
  AgentOut agent_out;
  std::shared_ptr<SecretStore> secret_store;
  std::shared_ptr<Launcher> launcher;
  std::optional<BrowserConnection> connection;
  std::uint64_t generation = 0;  // raised by each successful connect
  bool initialized = false;
  bool modern = false;
  bool listed_without_vorn = false;
  bool access_off = false;
  bool outdated = false;
};

// Writes one message and a newline to the agent and flushes; the first
// failure is returned.
[[nodiscard]] Status write_agent_line(BridgeState& state, const Json& value);
[[nodiscard]] Status write_agent_line(AgentOut& out, const Json& value);

// The member `key` of `value` when that is an object holding it, else null.
const Json* find_member(const Json* value, std::string_view key);

// Writes "vorn-mcp: <message>" and a newline to standard error in one piece;
// a failure has nowhere to go and is dropped.
void report(std::string_view message);

using BridgeResult = std::expected<void, HandshakeError>;

// Runs the session until the agent's input ends (success) or a fatal error.
[[nodiscard]] BridgeResult relay_loop(BridgeState& state, EventReceiver& events);

// Takes up a handed-over session or starts a fresh one, then runs the loop.
[[nodiscard]] BridgeResult run_bridge(const std::filesystem::path& profile_dir,
                                      std::shared_ptr<SecretStore> store);

}  // namespace vorn
