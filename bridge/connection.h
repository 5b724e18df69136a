// The browser's port file and the one live connection to its listener.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "bridge/mcp.h"
#include "frame/frame.h"
#include "frame/json.h"
#include "frame/error.h"
#include "frame/unique_fd.h"

namespace vorn {

struct BridgeState;

// What port.json says: the instance's token and the listener's port.
struct PortFile {
  std::string token;
  std::uint16_t port = 0;
};

// <profile>/vorn-agents/port.json, checked; none on any problem.
std::optional<PortFile> read_port_file(const std::filesystem::path& profile);

// A request written to the browser and not yet answered.
struct PendingCall {
  Json id;
  std::optional<std::string> method;  // none: the replayed initialize
  bool modern = false;
};

// The one live connection.
struct BrowserConnection {
  std::unordered_map<std::string, PendingCall> pending;  // key: compact JSON of the id
  std::uint64_t generation = 0;
  UniqueFd socket;
};

// True when connected; an error only when writing to the agent failed.
[[nodiscard]] Result<bool> connect_browser(BridgeState& state);

// Connects when needed, writes the frame and records the call, or answers
// the agent offline.
[[nodiscard]] Status forward_request(BridgeState& state, const PendingMeta& meta,
                                     Json id, const Frame& frame);

// Drops the connection, if any, and answers every call pending on it.
[[nodiscard]] Status fail_pending(BridgeState& state);

}  // namespace vorn
