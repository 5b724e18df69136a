// The browser's port file and the one live connection to its listener.
//
// The bridge keeps at most one connection. Each successful connect raises
// the session's generation, and the connection's socket reader tags every
// event with it, so events of a connection that was already dropped can be
// told apart and ignored. Everything here runs on the relay loop's thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bridge/handshake.h"
#include "bridge/mcp.h"
#include "frame/frame.h"
#include "frame/json.h"
#include "frame/error.h"
#include "frame/unique_fd.h"

namespace vorn {

struct BridgeState;

// <profile>/vorn-agents/port.json, checked; none on any problem, a file over
// kAgentsFileLimit or one that is not a regular file included.
std::optional<PortFile> read_port_file(const std::filesystem::path& profile);

// A request written to the browser and not yet answered.
struct PendingCall {
  Json id;
  std::optional<std::string> method;  // none: the replayed initialize
  bool modern = false;
};

// Hashes pending-call keys with a key drawn at random once per process, so
// that an agent cannot choose request ids that all land in one bucket.
struct PendingKeyHash {
  std::size_t operator()(std::string_view key) const noexcept;
};

using PendingMap = std::unordered_map<std::string, PendingCall, PendingKeyHash>;

// The one live connection.
struct BrowserConnection {
  PendingMap pending;  // key: compact JSON of the id
  std::uint64_t generation = 0;
  UniqueFd socket;
};

// True when connected. Reads port.json, pairs within the handshake budget
// and replays the agent's initialize and notifications/initialized on the
// new connection. Not reaching the browser is reported on standard error and
// gives false; an error only when writing to the agent failed.
[[nodiscard]] Result<bool> connect_browser(BridgeState& state);

// Connects when needed, writes the frame and records the call, or answers
// the agent offline.
[[nodiscard]] Status forward_request(BridgeState& state, const PendingMeta& meta,
                                     Json id, const Frame& frame);

// Drops the connection, if any, and answers every call pending on it.
[[nodiscard]] Status fail_pending(BridgeState& state);

}  // namespace vorn
