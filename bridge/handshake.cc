#include "bridge/handshake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "bridge/proof.h"

namespace vorn {

namespace {

using Clock = std::chrono::steady_clock;
using HandshakeResult = std::expected<UniqueFd, HandshakeError>;

std::unexpected<HandshakeError> io_failure(Error error) {
  return std::unexpected(HandshakeError::Io(std::move(error)));
}
std::unexpected<HandshakeError> protocol_failure(std::string text) {
  return std::unexpected(HandshakeError::Protocol(std::move(text)));
}

Status send_frame_deadline(DeadlineReader& reader, const Json& value) {
  std::expected<Frame, TooLarge> frame = encode_frame(value);
  if (!frame) return fail(ErrorKind::kInvalidData, "frame exceeds the limit");
  return write_all_deadline(reader, *frame);
}

// The "ctl" object of a frame, or nullptr.
const Json* control_of(const Json& frame) {
  if (!frame.is_object()) return nullptr;
  auto ctl = frame.find("ctl");
  if (ctl == frame.end() || !ctl->is_object()) return nullptr;
  return &*ctl;
}

const std::string* string_member(const Json* object, const char* name) {
  if (object == nullptr) return nullptr;
  auto member = object->find(name);
  if (member == object->end() || !member->is_string()) return nullptr;
  return member->get_ptr<const std::string*>();
}

enum class Reply { kReady, kUnknownAgent };

// One connection: challenge, proofs, hello and the browser's verdict.
// `choose_credentials` runs only once the browser has proved itself, so the
// hello carries the pairing as stored at that moment.
std::expected<std::pair<UniqueFd, Reply>, HandshakeError> attempt(
    const PortFile& port_file, Clock::time_point deadline,
    const std::function<std::optional<Credentials>()>& choose_credentials, const Json& extras) {
  const Clock::duration remaining = deadline - Clock::now();
  if (remaining <= Clock::duration::zero()) return io_failure(Error::make(ErrorKind::kTimedOut));
  Result<UniqueFd> connected = connect_loopback(port_file.port, remaining);
  if (!connected) return io_failure(std::move(connected).error());
  UniqueFd socket = std::move(*connected);
  DeadlineReader reader{socket.get(), deadline};

  Result<std::string> challenge = new_challenge();
  if (!challenge)
    return protocol_failure("no random bytes for a challenge: " + challenge.error().text());
  if (Status sent = send_frame_deadline(reader, Json{{"challenge", *challenge}}); !sent)
    return io_failure(std::move(sent).error());

  Result<std::optional<Json>> answer = read_frame_deadline(reader);
  if (!answer) return io_failure(std::move(answer).error());
  if (!answer->has_value()) return protocol_failure("the listener closed before answering");
  const Json* ctl = control_of(**answer);
  // The browser proves itself first: nothing derived from the token leaves
  // the bridge towards a listener that has not.
  const std::string* browser_proof = string_member(ctl, "vorn");
  if (browser_proof == nullptr ||
      !verify_proof(port_file.token, kVornLabel, *challenge, *browser_proof))
    return protocol_failure("the listener did not prove it is Vorn");
  const std::string* browser_challenge = string_member(ctl, "challenge");
  if (browser_challenge == nullptr || !is_lower_hex64(*browser_challenge))
    return protocol_failure("Vorn sent no usable challenge");

  const std::optional<Credentials> credentials = choose_credentials();
  Json hello = Json::object();
  hello["hello"] = 1u;
  hello["proof"] = compute_proof(port_file.token, kAgentLabel, *browser_challenge);
  if (credentials) {
    hello["agent_id"] = credentials->agent_id;
    hello["secret"] = credentials->secret;
  } else {
    hello["pair"] = true;
  }
  if (extras.is_object()) {
    for (auto it = extras.begin(); it != extras.end(); ++it) hello[it.key()] = it.value();
  }
  if (Status sent = send_frame_deadline(reader, hello); !sent)
    return io_failure(std::move(sent).error());

  Result<std::optional<Json>> verdict = read_frame_deadline(reader);
  if (!verdict) return io_failure(std::move(verdict).error());
  if (!verdict->has_value()) return protocol_failure("Vorn closed during the handshake");
  const Json* reply = control_of(**verdict);
  if (reply != nullptr) {
    auto ready = reply->find("ready");
    if (ready != reply->end() && ready->is_string())
      return std::pair{std::move(socket), Reply::kReady};
    const std::string* refused = string_member(reply, "refused");
    if (refused != nullptr && *refused == "outdated")
      return std::unexpected(HandshakeError::RefusedOutdated());
    if (refused != nullptr && *refused == "unknown_agent")
      return std::pair{std::move(socket), Reply::kUnknownAgent};
  }
  return protocol_failure("unexpected handshake reply");
}

}  // namespace

std::string handshake_error_display(const HandshakeError& error) {
  switch (error.kind) {
    case HandshakeError::Kind::kIo: return "i/o: " + error.io.text();
    case HandshakeError::Kind::kProtocol: return "protocol: " + error.protocol;
    case HandshakeError::Kind::kRefusedOutdated: break;
  }
  return "Vorn refused this vorn-mcp as outdated";
}

Status set_socket_timeout(int socket, int option, Clock::duration timeout) {
  timeval tv{};
  if (timeout > Clock::duration::zero()) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    if (micros < 1) micros = 1;
    tv.tv_sec = static_cast<time_t>(micros / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  }
  if (::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) != 0) return fail_errno(errno);
  return {};
}

Result<UniqueFd> connect_loopback(std::uint16_t port, Clock::duration limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket) return fail_errno(errno);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int saved = errno;
    if (saved != EINPROGRESS && saved != EINTR) return fail_errno(saved);
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= std::chrono::milliseconds::zero())
        return fail(ErrorKind::kTimedOut, "connection timed out");
      pollfd pfd{socket.get(), POLLOUT, 0};
      int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
      if (ready < 0) {
        if (errno == EINTR) continue;
        return fail_errno(errno);
      }
      if (ready > 0) break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
      return fail_errno(errno);
    if (error != 0) return fail_errno(error);
  }
  int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return fail_errno(errno);
  // Every frame leaves in one write; waiting to coalesce it with a later one
  // only delays the answer the agent is waiting for.
  const int on = 1;
  (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return socket;
}

Status write_all_deadline(DeadlineReader& reader, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const Clock::duration remaining = reader.deadline - Clock::now();
    if (remaining <= Clock::duration::zero()) return fail(ErrorKind::kTimedOut);
    if (Status set = set_socket_timeout(reader.socket, SO_SNDTIMEO, remaining); !set) {
      if (set.error().kind == ErrorKind::kInterrupted) continue;
      return set;
    }
    ssize_t n = ::send(reader.socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return fail(ErrorKind::kWriteZero, "failed to write whole buffer");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

HandshakeResult pair_with_browser(const PortFile& port_file, SecretStore& store,
                                  std::string_view key, const Json& extras,
                                  std::chrono::milliseconds handshake_timeout,
                                  std::chrono::milliseconds write_timeout,
                                  std::optional<Credentials>& credentials) {
  const Clock::time_point deadline = Clock::now() + handshake_timeout;
  bool first_attempt = true;
  for (;;) {
    // Only the first attempt presents a pairing: the stored one, else the
    // one in memory. The second always asks for a fresh one.
    const auto choose = [&]() -> std::optional<Credentials> {
      if (!first_attempt) return std::nullopt;
      std::optional<Credentials> stored = store.load(key);
      return stored ? stored : credentials;
    };
    auto outcome = attempt(port_file, deadline, choose, extras);
    if (!outcome) return std::unexpected(std::move(outcome).error());
    auto& [socket, reply] = *outcome;
    if (reply == Reply::kUnknownAgent) {
      if (!first_attempt) return protocol_failure("Vorn refused a fresh pairing handshake");
      store.remove(key);
      credentials.reset();
      socket.reset();
      first_attempt = false;
      continue;
    }
    if (Status set = set_socket_timeout(socket.get(), SO_RCVTIMEO, Clock::duration::zero()); !set)
      return io_failure(std::move(set).error());
    if (Status set = set_socket_timeout(socket.get(), SO_SNDTIMEO, write_timeout); !set)
      return io_failure(std::move(set).error());
    return std::move(socket);
  }
}

}  // namespace vorn
