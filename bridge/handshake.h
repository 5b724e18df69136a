// Pairing handshake with the browser's agent listener.
//
// Four frames within one time budget: the bridge sends a challenge, the
// browser answers with its proof over it and a challenge of its own, the
// bridge checks that proof before it sends anything derived from the token
// (its proof travels only in the hello), and the browser answers the hello
// with ready or a refusal. A refusal as "unknown_agent" forgets the stored
// pairing and asks once for a fresh one within the same budget.
//
// Runs on the relay loop's thread; no other thread sees the socket before the
// handshake returns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "bridge/secrets.h"
#include "frame/error.h"
#include "frame/frame.h"
#include "frame/json.h"
#include "frame/unique_fd.h"

namespace vorn {

// What port.json names: the browser instance's token and its listener port.
struct PortFile {
  std::string token;  // 64 lowercase hex characters; the proofs' key
  std::uint16_t port = 0;
};

// The bridge's one error type: why a pairing attempt or a run ended.
struct HandshakeError {
  enum class Kind { kIo, kProtocol, kRefusedOutdated };

  Kind kind = Kind::kIo;
  Error io;              // kIo: the I/O error
  std::string protocol;  // kProtocol: what went wrong

  static HandshakeError Io(Error error) { return {Kind::kIo, std::move(error), {}}; }
  static HandshakeError Protocol(std::string text) { return {Kind::kProtocol, {}, std::move(text)}; }
  static HandshakeError RefusedOutdated() { return {Kind::kRefusedOutdated, {}, {}}; }
};

// "i/o: …", "protocol: …" or "Vorn refused this vorn-mcp as outdated".
std::string handshake_error_display(const HandshakeError& error);

// Connects to 127.0.0.1:port and pairs. On success the socket's receive
// time-out is off and its send time-out is `write_timeout`; on failure no
// socket stays open. `credentials` is the in-memory pairing, cleared when the
// browser no longer knows it.
[[nodiscard]] std::expected<UniqueFd, HandshakeError> pair_with_browser(
    const PortFile& port_file, SecretStore& store, std::string_view key, const Json& extras,
    std::chrono::milliseconds handshake_timeout, std::chrono::milliseconds write_timeout,
    std::optional<Credentials>& credentials);

// Sends every byte before the reader's deadline, each send bounded by the
// time left (the socket's send time-out).
[[nodiscard]] Status write_all_deadline(DeadlineReader& reader, std::span<const std::uint8_t> bytes);

// TCP connect to 127.0.0.1:port, close-on-exec, bounded by `limit`. Running
// out of time gives kTimedOut "connection timed out".
[[nodiscard]] Result<UniqueFd> connect_loopback(std::uint16_t port,
                                                std::chrono::steady_clock::duration limit);

// Sets SO_RCVTIMEO / SO_SNDTIMEO; zero turns the time-out off.
[[nodiscard]] Status set_socket_timeout(int socket, int option,
                                        std::chrono::steady_clock::duration timeout);

}  // namespace vorn
