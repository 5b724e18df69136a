// Answers the bridge gives on the browser's behalf: the readable tool errors,
// the offline answer to a request the browser cannot take, and the
// tools-changed notifications.
//
// Thread-safety: the builders are pure; the functions that take the session
// state write standard output and belong to the relay loop's thread.
#pragma once

#include <string>
#include <string_view>

#include "bridge/mcp.h"
#include "frame/error.h"

namespace vorn {

struct BridgeState;

// A tool failure as the agent reads it: a code word and a sentence.
struct ToolError {
  std::string_view code;
  std::string_view message;

  // "<code>: <message>", the text both error shapes carry.
  std::string text() const;
};

inline constexpr ToolError kVornNotRunning{
    "vorn_not_running",
    "Vorn is not running, or agent access is off in Vorn's settings. Ask the user to start "
    "Vorn or turn agent access on in its settings, then try again."};
inline constexpr ToolError kAccessOff{
    "access_off",
    "Vorn is running, but agent access is off in its settings. Ask the user to turn agent "
    "access on in Vorn's settings, then try again."};
inline constexpr ToolError kVornMcpOutdated{
    "vorn_mcp_outdated",
    "Vorn has updated, and this vorn-mcp is older than it. Ask the user to restart this "
    "agent, which loads the updated vorn-mcp, then try again."};
inline constexpr ToolError kVornDisconnected{
    "vorn_disconnected",
    "Vorn closed the connection before answering, so the call may or may not have run. "
    "Check before trying again."};
inline constexpr ToolError kRequestTooLarge{
    "invalid_arguments",
    "The request is over 1 MiB, the most Vorn reads in one message. Send less in one call, "
    "such as fewer or shorter fields."};

inline constexpr std::string_view kToolsListChanged = "notifications/tools/list_changed";

// The error an offline answer reports: outdated wins over access off.
const ToolError& offline_tool_error(bool outdated, bool access_off);

// {"content": [{"text": <{"error","message"} as compact JSON>, "type": "text"}],
//  "isError": true}
Json tool_error_result(const ToolError& error);

// {"jsonrpc": "2.0", "method": "notifications/tools/list_changed"}
Json tools_changed_notification();
// The same notification addressed to one subscription of the agent.
Json subscription_tools_changed_notification(Json subscription_id);

// Answers one request without the browser: `ping` with {}, `tools/list`
// from the cache, `tools/call` with a tool error, anything else with a
// -32000 error response. Returns the write's error.
[[nodiscard]] Status answer_offline(BridgeState& state, const PendingMeta& meta, Json id);

// Tells the agent, and each recorded subscription, that the tools changed.
[[nodiscard]] Status announce_tools_changed(BridgeState& state);

}  // namespace vorn
