// The JSON-RPC answers that the bridge makes itself: result and error
// responses, the `initialize` and `server/discover` results, the per-request
// protocol-version check, and the decoration of results for requests of the
// newest protocol version.
//
// Thread-safety: the builders are pure; `reply_to_agent` writes standard
// output and so belongs to the relay loop's thread alone.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "frame/error.h"
#include "frame/json.h"

namespace vorn {

struct BridgeState;

inline constexpr std::string_view kJsonRpcVersion = "2.0";

inline constexpr std::string_view kProtocol20250618 = "2025-06-18";
inline constexpr std::string_view kProtocol20251125 = "2025-11-25";
inline constexpr std::string_view kProtocol20260728 = "2026-07-28";
inline constexpr std::array<std::string_view, 3> SUPPORTED_VERSIONS = {
    kProtocol20250618, kProtocol20251125, kProtocol20260728};

inline constexpr std::string_view kServerName = "vorn";
inline constexpr std::string_view kServerVersion = "0.1.0-rc.8";

// Keys of `_meta` objects.
inline constexpr std::string_view kMetaProtocolVersion = "io.modelcontextprotocol/protocolVersion";
inline constexpr std::string_view kMetaClientCapabilities =
    "io.modelcontextprotocol/clientCapabilities";
inline constexpr std::string_view kMetaClientInfo = "io.modelcontextprotocol/clientInfo";
inline constexpr std::string_view kMetaServerInfo = "io.modelcontextprotocol/serverInfo";
inline constexpr std::string_view kMetaSubscriptionId = "io.modelcontextprotocol/subscriptionId";

// Error codes and fixed messages of the error responses the bridge writes.
inline constexpr std::int64_t kParseError = -32700;
inline constexpr std::int64_t kMethodNotFound = -32601;
inline constexpr std::int64_t kInvalidParams = -32602;
inline constexpr std::int64_t kUnsupportedProtocolVersion = -32022;
inline constexpr std::int64_t kServerError = -32000;
inline constexpr std::string_view kParseErrorMessage = "parse error";
inline constexpr std::string_view kMethodNotFoundMessage = "method not found";
inline constexpr std::string_view kUnsupportedProtocolVersionMessage =
    "Unsupported protocol version";

// The guide for agents sent with `initialize` and `server/discover`
// (6,288 bytes of printable ASCII and line feeds, no final line feed).
extern const std::string_view INSTRUCTIONS;

// How a request that passed the version check names its protocol version.
enum class RequestVersion {
  kUnversioned,  // no per-request version in params._meta
  kDated,        // "2025-06-18" or "2025-11-25"
  kModern,       // "2026-07-28" with a client-capabilities object
};

// What the bridge keeps of one agent request while it answers it.
struct PendingMeta {
  std::string method;
  bool modern = false;  // the request's version check gave kModern

  bool operator==(const PendingMeta&) const = default;
};

// The outcome of the version check: the version, or a whole error response.
using VersionCheck = std::expected<RequestVersion, Json>;

// {"name": "vorn", "version": ...}
Json server_info();

// {"id": id, "jsonrpc": "2.0", "result": result}
Json rpc_result(Json id, Json result);
// {"error": {"code": code, "message": message}, "id": id, "jsonrpc": "2.0"}
Json rpc_error(Json id, std::int64_t code, std::string message);
// "invalid params: " followed by the `_meta` key at fault.
std::string invalid_params_message(std::string_view meta_key);

// The client name of one agent message: params.clientInfo.name, else
// params._meta["io.modelcontextprotocol/clientInfo"].name, else "Agent".
// Only text counts; the empty text is a name.
std::string client_name(const Json& message);

// The result of an `initialize` request (never decorated).
Json initialize_result(const Json& message);
// The whole, already decorated result of `server/discover`.
Json discover_result();
// Classifies a request by params._meta's protocol version, or refuses it.
VersionCheck check_protocol_version(const Json& message);
// Marks a locally made result as one of protocol version "2026-07-28".
Json decorate_result(std::string_view method, Json result);

// Writes the result response for `id`, decorated when `meta` is modern.
// Returns the write's I/O error unchanged.
[[nodiscard]] Status reply_to_agent(BridgeState& state, const PendingMeta& meta, Json id,
                                    Json result);

}  // namespace vorn
