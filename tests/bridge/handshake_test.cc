#include "bridge/handshake.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>

#include "bridge/proof.h"
#include "tests/bridge/temp_dir.h"
#include "tests/bridge/test_peer.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using testing::kTestToken;
using testing::TempDir;
using testing::TestPeer;

class Handshake : public ::testing::Test {
 protected:
  std::expected<UniqueFd, HandshakeError> pair(TestPeer& peer,
                                               std::chrono::milliseconds budget = 5000ms) {
    return pair_with_browser(PortFile{kTestToken, peer.port()}, store_, "account", extras_,
                             budget, 10000ms, memory_);
  }
  // The display text of a failed pairing, or "ok".
  std::string outcome(TestPeer& peer, std::chrono::milliseconds budget = 5000ms) {
    auto result = pair(peer, budget);
    return result ? "ok" : handshake_error_display(result.error());
  }
  // Stores a pairing for "account"; says why when it cannot (a full disk).
  ::testing::AssertionResult stored(const std::string& id, const std::string& secret) {
    Status saved = store_.save("account", {id, secret});
    if (saved) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << saved.error().text();
  }
  std::vector<Json> hellos(TestPeer& peer) {
    std::vector<Json> found;
    for (const Json& frame : peer.received())
      if (frame.contains("hello")) found.push_back(frame);
    return found;
  }

  TempDir tmp_;
  DirSecretStore store_{tmp_.path() / "vorn-agents"};
  Json extras_ = Json{{"launch", Json{{"id", "x"}}}};
  std::optional<Credentials> memory_;
};

TEST_F(Handshake, HelloCarriesStoredThenMemoryCredentialsElsePairs) {
  ASSERT_TRUE(stored("stored-id", "stored-secret"));
  memory_ = Credentials{"mem-id", "mem-secret"};
  {
    TestPeer peer({TestPeer::browser(Json{{"ready", "hi"}})});
    auto socket = pair(peer);
    ASSERT_TRUE(socket.has_value()) << handshake_error_display(socket.error());
    // After pairing reads block for ever and writes give up after 10 s.
    timeval tv{};
    socklen_t length = sizeof tv;
    ASSERT_EQ(::getsockopt(socket->get(), SOL_SOCKET, SO_RCVTIMEO, &tv, &length), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
    ASSERT_EQ(::getsockopt(socket->get(), SOL_SOCKET, SO_SNDTIMEO, &tv, &length), 0);
    EXPECT_EQ(tv.tv_sec, 10);
    socket->reset();
    auto hello = hellos(peer);
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(hello[0]["agent_id"], "stored-id");
    EXPECT_EQ(hello[0]["secret"], "stored-secret");
    EXPECT_EQ(hello[0]["hello"], 1u);
    EXPECT_TRUE(hello[0]["hello"].is_number_unsigned());
    EXPECT_EQ(hello[0]["launch"], extras_["launch"]);
    EXPECT_FALSE(hello[0].contains("pair"));
    EXPECT_TRUE(verify_proof(kTestToken, kAgentLabel, TestPeer::kPeerChallenge,
                             hello[0]["proof"].get<std::string>()));
  }
  store_.remove("account");
  {
    TestPeer peer({TestPeer::browser(Json{{"ready", ""}})});
    EXPECT_EQ(outcome(peer), "ok");
    auto hello = hellos(peer);
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(hello[0]["agent_id"], "mem-id");
    EXPECT_EQ(hello[0]["secret"], "mem-secret");
  }
  memory_.reset();
  {
    extras_["pair"] = "overridden";
    extras_["workspace"] = "w";
    TestPeer peer({TestPeer::browser(Json{{"ready", ""}})});
    EXPECT_EQ(outcome(peer), "ok");
    auto hello = hellos(peer);
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(hello[0]["pair"], "overridden");  // an extra replaces a hello key
    EXPECT_EQ(hello[0]["workspace"], "w");
    EXPECT_FALSE(hello[0].contains("agent_id"));
  }
}

TEST_F(Handshake, HelloCarriesThePairingStoredOnceTheListenerProvedItself) {
  // Another bridge of the same account stores a new pairing while this one
  // waits for the listener's proof: the hello must present that one.
  ASSERT_TRUE(stored("old-id", "old-secret"));
  memory_ = Credentials{"mem-id", "mem-secret"};
  TestPeer peer({[&](int socket, TestPeer& p) {
    const auto proof_after_saving = [&](const std::string& challenge) {
      (void)store_.save("account", {"fresh-id", "fresh-secret"});
      return TestPeer::honest_proof(challenge);
    };
    if (!p.answer_challenge(socket, proof_after_saving) || !p.read(socket)) return;
    TestPeer::send(socket, Json{{"ctl", Json{{"ready", "x"}}}});
    while (p.read(socket)) {
    }
  }});
  EXPECT_EQ(outcome(peer), "ok");
  auto hello = hellos(peer);
  ASSERT_EQ(hello.size(), 1u);
  EXPECT_EQ(hello[0]["agent_id"], "fresh-id");
  EXPECT_EQ(hello[0]["secret"], "fresh-secret");
}

TEST_F(Handshake, UnknownAgentForgetsThePairingAndPairsAfreshOnce) {
  ASSERT_TRUE(stored("old-id", "old-secret"));
  memory_ = Credentials{"mem-id", "mem-secret"};
  {
    TestPeer peer({TestPeer::browser(Json{{"refused", "unknown_agent"}}),
                   TestPeer::browser(Json{{"ready", "ok"}})});
    EXPECT_EQ(outcome(peer), "ok");
    EXPECT_EQ(peer.connections(), 2);
    // Each attempt opens with a challenge of its own and nothing else.
    std::vector<std::string> challenges;
    for (const Json& frame : peer.received()) {
      if (!frame.contains("challenge")) continue;
      EXPECT_EQ(frame.size(), 1u) << frame.dump();
      challenges.push_back(frame["challenge"].get<std::string>());
      EXPECT_TRUE(is_lower_hex64(challenges.back())) << challenges.back();
    }
    ASSERT_EQ(challenges.size(), 2u);
    EXPECT_NE(challenges[0], challenges[1]);
    auto hello = hellos(peer);
    ASSERT_EQ(hello.size(), 2u);
    EXPECT_EQ(hello[0]["agent_id"], "old-id");
    EXPECT_EQ(hello[1]["pair"], true);
    EXPECT_FALSE(hello[1].contains("agent_id"));
    EXPECT_FALSE(std::filesystem::exists(store_.secret_path("account")));
    EXPECT_EQ(memory_, std::nullopt);
  }
  {
    TestPeer peer({TestPeer::browser(Json{{"refused", "unknown_agent"}}),
                   TestPeer::browser(Json{{"refused", "unknown_agent"}})});
    EXPECT_EQ(outcome(peer), "protocol: Vorn refused a fresh pairing handshake");
    EXPECT_EQ(peer.connections(), 2);
  }
}

TEST_F(Handshake, VerdictsOtherThanReady) {
  const auto verdict = [&](Json ctl) {
    TestPeer peer({TestPeer::browser(std::move(ctl))});
    return outcome(peer);
  };
  EXPECT_EQ(verdict(Json{{"refused", "outdated"}}), "Vorn refused this vorn-mcp as outdated");
  EXPECT_EQ(verdict(Json{{"ready", true}}), "protocol: unexpected handshake reply");
  EXPECT_EQ(verdict(Json{{"ready", Json::object()}}), "protocol: unexpected handshake reply");
  EXPECT_EQ(verdict(Json{{"refused", "busy"}}), "protocol: unexpected handshake reply");
  EXPECT_EQ(verdict(Json::object()), "protocol: unexpected handshake reply");
  EXPECT_TRUE(store_.load("account") == std::nullopt);
}

TEST_F(Handshake, TheBridgeSpeaksOnlyToAListenerThatProvedItself) {
  const auto with_proof = [&](std::function<Json(const std::string&)> proof_of,
                              Json challenge = TestPeer::kPeerChallenge) {
    bool bridge_sent_more = true;
    std::string text;
    {
      TestPeer peer({[&](int socket, TestPeer& p) {
        if (!p.answer_challenge(socket, proof_of, challenge)) return;
        bridge_sent_more = p.read(socket).has_value();
      }});
      text = outcome(peer);
    }  // the script has ended once the peer is gone
    if (text == "protocol: the listener did not prove it is Vorn" ||
        text == "protocol: Vorn sent no usable challenge") {
      EXPECT_FALSE(bridge_sent_more) << text;
    }
    return text;
  };
  const std::string refused = "protocol: the listener did not prove it is Vorn";
  EXPECT_EQ(with_proof([](const std::string&) { return Json(); }), refused);
  EXPECT_EQ(with_proof([](const std::string&) { return Json(7); }), refused);
  EXPECT_EQ(with_proof([](const std::string& c) {
              return Json(compute_proof(kTestToken, kAgentLabel, c));
            }),
            refused);
  EXPECT_EQ(with_proof([](const std::string& c) {
              return Json(compute_proof(std::string(64, 'e'), kVornLabel, c));
            }),
            refused);

  const auto upper = [](const std::string& c) {
    std::string proof = compute_proof(kTestToken, kVornLabel, c);
    for (char& ch : proof) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return Json(proof);
  };
  const std::string unusable = "protocol: Vorn sent no usable challenge";
  std::string upper_challenge = TestPeer::kPeerChallenge;
  for (char& ch : upper_challenge) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(with_proof(TestPeer::honest_proof, upper_challenge), unusable);
  EXPECT_EQ(with_proof(TestPeer::honest_proof, TestPeer::kPeerChallenge.substr(0, 62)), unusable);
  EXPECT_EQ(with_proof(TestPeer::honest_proof, Json(5)), unusable);
  // An uppercase proof is a valid proof; the peer then gets a hello and
  // closes without a verdict.
  EXPECT_EQ(with_proof(upper), "protocol: Vorn closed during the handshake");
}

TEST_F(Handshake, BrokenPeersFailWithTheirReadError) {
  const auto run = [&](TestPeer::Script script, std::chrono::milliseconds budget = 5000ms) {
    TestPeer peer({std::move(script)});
    return outcome(peer, budget);
  };
  EXPECT_EQ(run([](int socket, TestPeer& p) { (void)p.read(socket); }),
            "protocol: the listener closed before answering");
  EXPECT_EQ(run([](int socket, TestPeer& p) {
              (void)p.read(socket);
              const std::uint8_t header[] = {0x00, 0x10, 0x00, 0x01};
              (void)::send(socket, header, 4, MSG_NOSIGNAL);
            }),
            "i/o: declared frame exceeds the limit");
  EXPECT_EQ(run([](int socket, TestPeer& p) {
              (void)p.read(socket);
              const std::uint8_t frame[] = {0, 0, 0, 3, '{', 'x', '}'};
              (void)::send(socket, frame, sizeof frame, MSG_NOSIGNAL);
            }).substr(0, 4),
            "i/o:");
  EXPECT_EQ(run([](int socket, TestPeer& p) {
              (void)p.read(socket);
              const std::uint8_t partial[] = {0, 0};
              (void)::send(socket, partial, 2, MSG_NOSIGNAL);
            }),
            "i/o: unexpected end of file");
  EXPECT_EQ(run([](int socket, TestPeer& p) {
              (void)p.answer_challenge(socket, TestPeer::honest_proof);
              (void)p.read(socket);
            }),
            "protocol: Vorn closed during the handshake");
  // A listener that never answers: the receive time-out set to the time left
  // expires inside the receive.
  EXPECT_EQ(run([](int socket, TestPeer& p) { (void)p.read(socket), (void)p.read(socket); },
                200ms),
            "i/o: Resource temporarily unavailable (os error 11)");
}

TEST_F(Handshake, ConnectFailuresAreIoErrors) {
  std::uint16_t closed_port;
  {
    TestPeer peer({});
    closed_port = peer.port();
  }
  auto result = pair_with_browser(PortFile{kTestToken, closed_port}, store_, "account", extras_,
                                  5000ms, 10000ms, memory_);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(handshake_error_display(result.error()), "i/o: Connection refused (os error 111)");
  result = pair_with_browser(PortFile{kTestToken, closed_port}, store_, "account", extras_, 0ms,
                             10000ms, memory_);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(handshake_error_display(result.error()), "i/o: timed out");
}

}  // namespace
}  // namespace vorn
