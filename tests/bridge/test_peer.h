// A scripted browser listener for the bridge's unit tests: listens on
// 127.0.0.1 at a free port and runs one script per accepted connection on
// its own thread. Helpers speak the browser's side of the pairing.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/proof.h"
#include "frame/frame.h"
#include "frame/json.h"
#include "frame/unique_fd.h"

namespace vorn::testing {

inline const std::string kTestToken =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

class TestPeer {
 public:
  using Script = std::function<void(int socket, TestPeer& peer)>;

  // Each accepted connection runs the next script; connections past the
  // last script are closed at once.
  explicit TestPeer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    VORN_CHECK(listener_.valid());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    VORN_CHECK(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    VORN_CHECK(::listen(listener_.get(), 8) == 0);
    socklen_t length = sizeof address;
    VORN_CHECK(::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TestPeer() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    {
      // A script still waiting on a connection the test keeps open ends now.
      std::lock_guard lock(mutex_);
      if (current_ >= 0) ::shutdown(current_, SHUT_RDWR);
      stopping_ = true;
    }
    thread_.join();
  }

  std::uint16_t port() const { return port_; }
  int connections() {
    std::lock_guard lock(mutex_);
    return accepted_;
  }
  std::vector<Json> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

  // Reads one frame and records it; none at end or on error.
  std::optional<Json> read(int socket) {
    Result<std::optional<Json>> frame = read_frame(socket_source(socket));
    if (!frame || !frame->has_value()) return std::nullopt;
    std::lock_guard lock(mutex_);
    received_.push_back(**frame);
    return **frame;
  }
  static void send(int socket, const Json& value) { (void)write_frame(socket, value); }

  // Reads the bridge's challenge and answers with `proof_of(challenge)` and
  // `challenge` as ours; returns the bridge's challenge.
  std::optional<std::string> answer_challenge(
      int socket, const std::function<Json(const std::string&)>& proof_of,
      const Json& our_challenge = kPeerChallenge) {
    std::optional<Json> first = read(socket);
    if (!first) return std::nullopt;
    std::string challenge = (*first)["challenge"].get<std::string>();
    Json ctl{{"challenge", our_challenge}};
    Json proof = proof_of(challenge);
    if (!proof.is_null()) ctl["vorn"] = proof;
    send(socket, Json{{"ctl", ctl}});
    return challenge;
  }

  static Json honest_proof(const std::string& challenge) {
    return compute_proof(kTestToken, kVornLabel, challenge);
  }

  // The whole browser side up to the verdict.
  static Script browser(Json verdict) {
    return [verdict](int socket, TestPeer& peer) {
      if (!peer.answer_challenge(socket, honest_proof)) return;
      if (!peer.read(socket)) return;
      send(socket, Json{{"ctl", verdict}});
      // Record whatever follows until the bridge closes the connection.
      while (peer.read(socket)) {
      }
    };
  }

  static inline const std::string kPeerChallenge =
      "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

 private:
  void serve() {
    for (std::size_t i = 0;; ++i) {
      UniqueFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!socket) return;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        ++accepted_;
        current_ = socket.get();
      }
      if (i < scripts_.size()) scripts_[i](socket.get(), *this);
      std::lock_guard lock(mutex_);
      current_ = -1;
    }
  }

  std::vector<Script> scripts_;
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  int accepted_ = 0;
  int current_ = -1;  // the connection a script is serving
  bool stopping_ = false;
  std::vector<Json> received_;
};

}  // namespace vorn::testing
