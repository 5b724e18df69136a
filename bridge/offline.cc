#include "bridge/offline.h"

#include <utility>
#include <vector>

#include "bridge/bridge.h"

namespace vorn {

std::string ToolError::text() const {
  std::string joined(code);
  joined += ": ";
  joined += message;
  return joined;
}

const ToolError& offline_tool_error(bool outdated, bool access_off) {
  if (outdated) return kVornMcpOutdated;
  if (access_off) return kAccessOff;
  return kVornNotRunning;
}

Json tool_error_result(const ToolError& error) {
  Json body = Json::object();
  body["error"] = error.code;
  body["message"] = error.text();
  Json content = Json::object();
  content["text"] = write_json(body);
  content["type"] = "text";
  Json result = Json::object();
  result["content"] = Json::array({std::move(content)});
  result["isError"] = true;
  return result;
}

Json tools_changed_notification() {
  Json notification = Json::object();
  notification["jsonrpc"] = kJsonRpcVersion;
  notification["method"] = kToolsListChanged;
  return notification;
}

Json subscription_tools_changed_notification(Json subscription_id) {
  Json meta = Json::object();
  meta[kMetaSubscriptionId] = std::move(subscription_id);
  Json notification = tools_changed_notification();
  notification["params"] = Json{{"_meta", std::move(meta)}};
  return notification;
}

Status answer_offline(BridgeState& state, const PendingMeta& meta, Json id) {
  const ToolError& error = offline_tool_error(state.outdated, state.access_off);
  if (meta.method == "ping") return reply_to_agent(state, meta, std::move(id), Json::object());
  if (meta.method == "tools/list") {
    // The next connect announces a change so the agent lists from Vorn.
    state.listed_without_vorn = true;
    Json result = state.tools ? *state.tools : Json{{"tools", Json::array()}};
    return reply_to_agent(state, meta, std::move(id), std::move(result));
  }
  if (meta.method == "tools/call") {
    return reply_to_agent(state, meta, std::move(id), tool_error_result(error));
  }
  // An error response is the same whatever version the request named.
  return write_agent_line(state, rpc_error(std::move(id), kServerError, error.text()));
}

Status announce_tools_changed(BridgeState& state) {
  if (state.initialize) TRY(write_agent_line(state, tools_changed_notification()));
  const std::vector<Json> subscriptions = state.subscriptions;
  for (const Json& id : subscriptions) {
    TRY(write_agent_line(state, subscription_tools_changed_notification(id)));
  }
  return {};
}

}  // namespace vorn
