#include "bridge/offline.h"

#include <utility>

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
  content["text"] = body.dump();
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

}  // namespace vorn
