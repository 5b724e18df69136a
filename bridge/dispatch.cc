#include "bridge/dispatch.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/connection.h"
#include "bridge/identity.h"
#include "bridge/launch.h"
#include "bridge/mcp.h"
#include "bridge/offline.h"
#include "frame/frame.h"
#include "frame/json.h"

namespace vorn {
namespace {

// Length of the Unicode White_Space character at the front of `text`, or 0.
std::size_t leading_space(std::string_view text) {
  if (text.empty()) return 0;
  const auto c0 = static_cast<unsigned char>(text[0]);
  if (c0 == ' ' || (c0 >= 0x09 && c0 <= 0x0D)) return 1;
  if (text.size() >= 2 && c0 == 0xC2) {
    const auto c1 = static_cast<unsigned char>(text[1]);
    if (c1 == 0x85 || c1 == 0xA0) return 2;
  }
  if (text.size() >= 3) {
    const auto c1 = static_cast<unsigned char>(text[1]);
    const auto c2 = static_cast<unsigned char>(text[2]);
    if (c0 == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;  // U+1680
    if (c0 == 0xE2 && c1 == 0x80 &&
        (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) {
      return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    }
    if (c0 == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
    if (c0 == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
  }
  return 0;
}

// True when the text holds nothing but white space.
bool is_blank(std::string_view text) {
  while (!text.empty()) {
    const std::size_t n = leading_space(text);
    if (n == 0) return false;
    text.remove_prefix(n);
  }
  return true;
}

// Request ids compare by their compact text, so 1 and 1.0 stay apart.
bool same_id(const Json& a, const Json& b) { return write_json(a) == write_json(b); }

Status handle_request(BridgeState& state, const Json& message, const std::string& method) {
  const Json& id = *find_member(&message, "id");
  if (method == "initialize") {
    TRY(write_agent_line(state, rpc_result(id, initialize_result(message))));
    if (state.initialize) return {};
    state.initialize = message;
    // Not reaching the browser is no error here; the agent may never call a tool.
    (void)TRY(connect_browser(state));
    return {};
  }

  VersionCheck check = check_protocol_version(message);
  if (!check) return write_agent_line(state, check.error());
  const RequestVersion version = *check;
  const bool modern = version == RequestVersion::kModern;

  if (method == "subscriptions/listen" && modern) {
    const Json* wanted =
        find_member(find_member(find_member(&message, "params"), "notifications"), "toolsListChanged");
    const bool listening = wanted && wanted->is_boolean() && wanted->get<bool>();
    if (listening) state.subscriptions.push_back(id);
    Json acknowledged = {
        {"jsonrpc", "2.0"},
        {"method", "notifications/subscriptions/acknowledged"},
        {"params",
         {{"_meta", {{std::string(kMetaSubscriptionId), id}}},
          {"notifications", listening ? Json{{"toolsListChanged", true}} : Json::object()}}},
    };
    return write_agent_line(state, acknowledged);
  }

  if (method == "server/discover") {
    if (version == RequestVersion::kUnversioned) {
      return write_agent_line(
          state, rpc_error(id, kInvalidParams, invalid_params_message(kMetaProtocolVersion)));
    }
    return write_agent_line(state, rpc_result(id, discover_result()));
  }

  if (modern) {
    state.modern = true;
  } else if (!state.initialize) {
    return write_agent_line(state,
                            rpc_error(id, kMethodNotFound, std::string(kMethodNotFoundMessage)));
  }

  const PendingMeta meta{method, modern};
  if (method == "ping" && !state.connection) return reply_to_agent(state, meta, id, Json::object());

  auto frame = encode_frame(Json{{"mcp", message}});
  if (!frame) {
    if (method == "tools/call") {
      return reply_to_agent(state, meta, id, tool_error_result(kRequestTooLarge));
    }
    return write_agent_line(state, rpc_error(id, kServerError, kRequestTooLarge.text()));
  }

  if (method == "tools/call") start_browser_if_needed(state);
  if (state.launch_queue) {
    state.launch_queue->entries.push_back(QueuedRequest{meta, id, std::move(*frame)});
    return {};
  }
  return forward_request(state, meta, id, *frame);
}

Status handle_notification(BridgeState& state, const Json& message, const std::string* method) {
  if (method && *method == "notifications/cancelled") {
    if (const Json* found = find_member(find_member(&message, "params"), "requestId")) {
      const Json& request = *found;
      std::erase_if(state.subscriptions, [&](const Json& s) { return same_id(s, request); });
      if (state.connection) state.connection->pending.erase(write_json(request));
      if (state.launch_queue) {
        std::erase_if(state.launch_queue->entries,
                      [&](const QueuedRequest& q) { return same_id(q.id, request); });
      }
    }
  } else if (method && *method == "notifications/initialized") {
    state.initialized = true;
  }

  // Without a connection the browser has nothing to be told.
  if (!state.connection) return {};
  auto frame = encode_frame(Json{{"mcp", message}});
  if (frame && send_all(state.connection->socket.get(), *frame)) return {};
  return fail_pending(state);
}

}  // namespace

Status handle_agent_line(BridgeState& state, std::string_view text) {
  if (is_blank(text)) return {};

  Result<Json> parsed = parse_json(text);
  if (!parsed) {
    return write_agent_line(state, rpc_error(nullptr, kParseError, std::string(kParseErrorMessage)));
  }
  const Json& message = *parsed;

  // The first message that parses, whatever it is, names the client.
  if (!state.account) build_identity(state, client_name(message));

  const std::string* method = nullptr;
  bool request = false;
  if (message.is_object()) {
    auto it = message.find("method");
    if (it != message.end() && it->is_string()) method = it->get_ptr<const std::string*>();
    request = message.contains("id");
  }
  if (request && method) return handle_request(state, message, *method);
  return handle_notification(state, message, method);
}

}  // namespace vorn
