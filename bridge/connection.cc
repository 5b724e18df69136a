#include "bridge/connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "bridge/bridge.h"
#include "bridge/identity.h"
#include "bridge/launch.h"
#include "bridge/offline.h"
#include "bridge/proof.h"
#include "bridge/secrets.h"
#include "bridge/stdin.h"
#include "frame/file.h"

namespace vorn {
namespace {

// The agent's session opening, sent again to each new connection so that the
// browser sees the same session the agent believes it has.
Status replay_session(const BridgeState& state, int socket) {
  if (!state.initialize) return {};
  TRY(write_frame(socket, Json{{"mcp", *state.initialize}}));
  if (state.initialized) {
    TRY(write_frame(socket, Json{{"mcp", {{"jsonrpc", "2.0"},
                                          {"method", "notifications/initialized"}}}}));
  }
  return {};
}

Result<UniqueFd> duplicate(int socket) {
  UniqueFd copy(::fcntl(socket, F_DUPFD_CLOEXEC, 0));
  if (!copy) return fail_errno(errno);
  return copy;
}

void record_pending(BridgeState& state, const PendingMeta& meta, Json id) {
  std::string key = write_json(id);
  state.connection->pending.insert_or_assign(std::move(key),
                                             PendingCall{std::move(id), meta.method, meta.modern});
}

// SipHash-1-3 (Aumasson and Bernstein): a keyed hash that is cheap on
// short texts such as request ids.
struct SipKey {
  std::uint64_t k0 = 0, k1 = 0;
};

SipKey process_hash_key() {
  std::array<std::uint8_t, 16> bytes{};
  if (!fill_random(bytes)) {
    // Without a random source the map still works, only less hardened.
    const auto now = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    std::memcpy(bytes.data(), &now, sizeof now);
  }
  SipKey key;
  std::memcpy(&key.k0, bytes.data(), 8);
  std::memcpy(&key.k1, bytes.data() + 8, 8);
  return key;
}

std::uint64_t siphash13(const SipKey& key, std::string_view data) {
  std::uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
  std::uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
  std::uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
  std::uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
  const auto round = [&] {
    v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
    v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
  };
  const std::size_t whole = data.size() & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | static_cast<std::uint8_t>(data[i + b]);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
  for (std::size_t i = whole; i < data.size(); ++i)
    last |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(data[i])) << (8 * (i - whole));
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

std::size_t PendingKeyHash::operator()(std::string_view key) const noexcept {
  static const SipKey process_key = process_hash_key();
  return static_cast<std::size_t>(siphash13(process_key, key));
}

std::optional<PortFile> read_port_file(const std::filesystem::path& profile) {
  Result<std::string> text = read_regular_file(agents_dir(profile) / "port.json", kAgentsFileLimit);
  if (!text) return std::nullopt;
  Result<Json> value = parse_json(*text);
  if (!value || !value->is_object()) return std::nullopt;
  auto token = value->find("token");
  if (token == value->end() || !token->is_string() ||
      !is_lower_hex64(token->get_ref<const std::string&>()))
    return std::nullopt;
  auto port = value->find("port");
  if (port == value->end() || !port->is_number_unsigned() || port->get<std::uint64_t>() > 65535)
    return std::nullopt;
  return PortFile{token->get<std::string>(), static_cast<std::uint16_t>(port->get<std::uint64_t>())};
}

Result<bool> connect_browser(BridgeState& state) {
  if (state.connection) return true;
  if (!state.initialize && !state.modern) return false;

  std::optional<PortFile> port = read_port_file(state.profile_dir);
  // A browser that runs on the profile without a port file has agent access off.
  state.access_off = !port && profile_in_use(state.profile_dir);
  if (!state.account) return false;
  if (!port) {
    report("no usable vorn-agents/port.json in " + lossy_utf8(state.profile_dir.native()));
    return false;
  }
  state.last_port_token = port->token;

  Json extras = Json::object();
  extras["launch"] = state.identity;
  if (state.workspace) extras["workspace"] = *state.workspace;
  std::expected<UniqueFd, HandshakeError> paired = pair_with_browser(
      *port, *state.secret_store, *state.account, extras, state.params.handshake_timeout,
      state.params.write_timeout, state.credentials);
  if (!paired) {
    report("could not reach Vorn: " + handshake_error_display(paired.error()));
    state.outdated = paired.error().kind == HandshakeError::Kind::kRefusedOutdated;
    return false;
  }
  state.outdated = false;
  UniqueFd socket = std::move(*paired);

  Result<UniqueFd> reader_fd = [&]() -> Result<UniqueFd> {
    TRY(replay_session(state, socket.get()));
    return duplicate(socket.get());
  }();
  if (!reader_fd) {
    report("Vorn closed the connection on arrival: " + reader_fd.error().text());
    (void)::shutdown(socket.get(), SHUT_RDWR);
    return false;
  }

  BrowserConnection connection;
  if (state.initialize && state.initialize->is_object()) {
    auto id = state.initialize->find("id");
    if (id != state.initialize->end()) {
      // The browser answers the replayed initialize too; this entry catches
      // that answer so the agent never sees a second one.
      connection.pending.emplace(write_json(*id), PendingCall{*id, std::nullopt, false});
    }
  }
  connection.generation = ++state.generation;
  connection.socket = std::move(socket);
  try {
    std::thread(socket_reader, reader_fd->release(), connection.generation, state.events).detach();
  } catch (const std::system_error&) {
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
  }
  state.connection = std::move(connection);

  if (state.listed_without_vorn) {
    // The agent was given the cached list; let it ask the browser now.
    state.listed_without_vorn = false;
    TRY(announce_tools_changed(state));
  }
  return true;
}

Status forward_request(BridgeState& state, const PendingMeta& meta, Json id, const Frame& frame) {
  // A write that fails is tried once more on a fresh connection: the old one
  // may simply have died while idle.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool connected = TRY(connect_browser(state));
    if (!connected) return answer_offline(state, meta, std::move(id));
    if (send_all(state.connection->socket.get(), frame)) {
      record_pending(state, meta, std::move(id));
      return {};
    }
    TRY(fail_pending(state));
  }
  return answer_offline(state, meta, std::move(id));
}

Status fail_pending(BridgeState& state) {
  if (!state.connection) return {};
  BrowserConnection connection = std::move(*state.connection);
  state.connection.reset();
  // Ends the socket reader; its closing event carries a stale generation.
  (void)::shutdown(connection.socket.get(), SHUT_RDWR);
  for (auto& [key, call] : connection.pending) {
    if (!call.method) continue;  // the replayed initialize: the agent has its answer
    const PendingMeta meta{*call.method, call.modern};
    if (*call.method == "tools/call") {
      TRY(reply_to_agent(state, meta, std::move(call.id), tool_error_result(kVornDisconnected)));
    } else {
      TRY(answer_offline(state, meta, std::move(call.id)));
    }
  }
  return {};
}

}  // namespace vorn
