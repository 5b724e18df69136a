#include "bridge/connection.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "bridge/bridge.h"
#include "bridge/offline.h"
#include "tests/bridge/bounded_child.h"
#include "tests/bridge/temp_dir.h"
#include "tests/bridge/test_peer.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using testing::kTestToken;
using testing::TempDir;
using testing::TestPeer;

void write_port_json(const std::filesystem::path& profile, std::string_view text) {
  std::filesystem::create_directories(profile / "vorn-agents");
  testing::write_file(profile / "vorn-agents" / "port.json", text);
}

std::string port_json(std::uint16_t port) {
  return R"({"token":")" + kTestToken + R"(","port":)" + std::to_string(port) + "}";
}

TEST(ReadPortFile, ChecksTokenAndPort) {
  TempDir tmp;
  EXPECT_EQ(read_port_file(tmp.path()), std::nullopt);
  const std::string t = kTestToken;
  write_port_json(tmp.path(), R"({"x":[1],"port":0,"token":")" + t + R"("})");
  std::optional<PortFile> file = read_port_file(tmp.path());
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->token, t);
  EXPECT_EQ(file->port, 0);
  write_port_json(tmp.path(), port_json(65535));
  EXPECT_EQ(read_port_file(tmp.path())->port, 65535);

  std::string upper = t;
  upper[3] = 'A';
  for (const std::string& bad : std::vector<std::string>{
        R"({"token":")" + t.substr(1) + R"(","port":1})",
        R"({"token":")" + t + R"(0","port":1})", R"({"token":")" + upper + R"(","port":1})",
        R"({"token":5,"port":1})", R"({"token":")" + t + R"(","port":65536})",
        R"({"token":")" + t + R"(","port":-1})", R"({"token":")" + t + R"(","port":80.5})",
        R"({"token":")" + t + R"(","port":1.0})", R"({"token":")" + t + R"(","port":"80"})",
        R"([")" + t + R"(",1])", std::string("{")}) {
    write_port_json(tmp.path(), bad);
    EXPECT_EQ(read_port_file(tmp.path()), std::nullopt) << bad;
  }
}

TEST(ReadPortFile, AFifoReadsAsNone) {
  TempDir tmp;
  std::filesystem::create_directories(tmp.path() / "vorn-agents");
  ASSERT_EQ(::mkfifo((tmp.path() / "vorn-agents" / "port.json").c_str(), 0600), 0);
  EXPECT_TRUE(testing::finishes_in_child(
      [&] {
        if (read_port_file(tmp.path()).has_value()) ::_exit(1);
      },
      std::chrono::seconds(20)));
}

// A session state wired to a pipe in place of standard output.
class Session : public ::testing::Test {
 protected:
  Session() {
    int fds[2];
    VORN_CHECK(::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0);
    agent_in_.reset(fds[0]);
    agent_out_.reset(fds[1]);
    state_.events = std::move(channel_.first);
    state_.agent_out.fd = agent_out_.get();
    state_.profile_dir = tmp_.path();
    state_.params.handshake_timeout = 5000ms;
    state_.secret_store = std::make_shared<DirSecretStore>(agents_dir(tmp_.path()));
    state_.account = "[\"p\",\"agent\"]";
    state_.identity = Json{{"id", "test"}};
    state_.initialize = Json{{"id", 1}, {"jsonrpc", "2.0"}, {"method", "initialize"}};
    state_.initialized = true;
  }
  ~Session() override {
    (void)fail_pending(state_);
  }

  // Every line the bridge wrote to the agent so far.
  std::vector<Json> agent_lines() {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(agent_in_.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      written_.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<Json> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = written_.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(Json::parse(written_.substr(start, end - start)));
    return lines;
  }

  // The next event from a socket reader, waiting at most a few seconds.
  std::optional<BridgeEvent> next_event() {
    std::optional<BridgeEvent> event;
    (void)channel_.second.recv_for(5s, event);
    return event;
  }

  TempDir tmp_;
  UniqueFd agent_in_, agent_out_;
  std::pair<EventSender, EventReceiver> channel_ = make_channel<BridgeEvent>();
  BridgeState state_;
  std::string written_;
};

TEST_F(Session, ConnectsReplaysAndCountsGenerations) {
  TestPeer peer({TestPeer::browser(Json{{"ready", "a"}}), TestPeer::browser(Json{{"ready", "b"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  state_.workspace = "ws";
  state_.generation = 41;

  ASSERT_EQ(connect_browser(state_), true);
  ASSERT_TRUE(state_.connection.has_value());
  EXPECT_EQ(state_.connection->generation, 42u);
  EXPECT_EQ(state_.last_port_token, kTestToken);
  // Only the replayed initialize waits, under its id's text, without a method.
  ASSERT_EQ(state_.connection->pending.size(), 1u);
  EXPECT_EQ(state_.connection->pending.at("1").method, std::nullopt);
  EXPECT_EQ(connect_browser(state_), true);  // already connected: nothing happens
  EXPECT_EQ(peer.connections(), 1);

  // The reader's closing event carries the connection's generation.
  (void)fail_pending(state_);
  std::optional<BridgeEvent> closed = next_event();
  ASSERT_TRUE(closed.has_value());
  ASSERT_TRUE(std::holds_alternative<ConnectionClosed>(*closed));
  EXPECT_EQ(std::get<ConnectionClosed>(*closed).generation, 42u);

  ASSERT_EQ(connect_browser(state_), true);
  EXPECT_EQ(state_.connection->generation, 43u);
  (void)fail_pending(state_);
  while (peer.received().size() < 8) {
    if (!next_event()) break;
  }
  const std::vector<Json> frames = peer.received();
  // Per connection: challenge, hello, initialize, notifications/initialized.
  ASSERT_GE(frames.size(), 8u);
  EXPECT_EQ(frames[1]["launch"], state_.identity);
  EXPECT_EQ(frames[1]["workspace"], "ws");
  EXPECT_EQ(frames[2], (Json{{"mcp", *state_.initialize}}));
  EXPECT_EQ(frames[3],
            (Json{{"mcp", {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}}}}));
  EXPECT_EQ(frames[6], frames[2]);
  EXPECT_EQ(frames[7], frames[3]);
}

TEST_F(Session, ReportsWhyItIsNotConnected) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(connect_browser(state_), false);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn-mcp: no usable vorn-agents/port.json in " + tmp_.path().string() + "\n");
  EXPECT_FALSE(state_.access_off);

  TestPeer peer({TestPeer::browser(Json{{"refused", "outdated"}}),
                 TestPeer::browser(Json{{"ready", "x"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(connect_browser(state_), false);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn-mcp: could not reach Vorn: Vorn refused this vorn-mcp as outdated\n");
  EXPECT_TRUE(state_.outdated);
  EXPECT_EQ(state_.generation, 0u);
  EXPECT_EQ(connect_browser(state_), true);
  EXPECT_FALSE(state_.outdated);

  // No session opened, or no account yet: nothing is attempted or printed.
  (void)fail_pending(state_);
  state_.account.reset();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(connect_browser(state_), false);
  state_.initialize.reset();
  EXPECT_EQ(connect_browser(state_), false);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(peer.connections(), 2);
}

TEST_F(Session, AReplayThatCannotBeSentLeavesTheSessionUnconnected) {
  TestPeer peer({TestPeer::browser(Json{{"ready", "a"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  // An initialize too large for one frame cannot be replayed.
  (*state_.initialize)["params"] = Json{{"pad", std::string(FRAME_LIMIT, 'x')}};
  state_.generation = 5;
  state_.listed_without_vorn = true;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(connect_browser(state_), false);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vorn-mcp: Vorn closed the connection on arrival: frame exceeds the limit\n");
  EXPECT_FALSE(state_.connection.has_value());
  EXPECT_EQ(state_.generation, 5u);
  EXPECT_EQ(state_.last_port_token, kTestToken);
  // The tools list is announced only over a connection that stands.
  EXPECT_TRUE(state_.listed_without_vorn);
  EXPECT_TRUE(agent_lines().empty());
}

TEST_F(Session, LostConnectionAnswersPendingCallsByMethod) {
  TestPeer peer({TestPeer::browser(Json{{"ready", "a"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  state_.tools = Json{{"tools", Json::array({Json{{"name", "cached"}}})}};
  ASSERT_EQ(connect_browser(state_), true);
  const auto forward = [&](Json id, std::string method) {
    Json request{{"id", id}, {"jsonrpc", "2.0"}, {"method", method}};
    Frame frame = *encode_frame(Json{{"mcp", request}});
    ASSERT_TRUE(forward_request(state_, PendingMeta{method, false}, id, frame).has_value());
  };
  forward(2, "tools/call");
  forward(3, "ping");
  forward(4, "tools/list");
  forward(5, "resources/list");
  forward(5, "tools/call");  // same key: replaces the entry before it
  forward(Json(5.0), "ping");
  EXPECT_EQ(state_.connection->pending.size(), 6u);  // with the replayed initialize

  ASSERT_TRUE(fail_pending(state_).has_value());
  EXPECT_FALSE(state_.connection.has_value());
  std::map<std::string, Json> answers;
  for (const Json& line : agent_lines()) answers[write_json(line["id"])] = line;
  ASSERT_EQ(answers.size(), 5u);
  EXPECT_FALSE(answers.contains("1"));
  EXPECT_EQ(answers["2"]["result"], tool_error_result(kVornDisconnected));
  EXPECT_EQ(answers["3"]["result"], Json::object());
  EXPECT_EQ(answers["4"]["result"], *state_.tools);
  EXPECT_EQ(answers["5"]["result"], tool_error_result(kVornDisconnected));
  EXPECT_EQ(answers["5.0"]["result"], Json::object());
  EXPECT_TRUE(state_.listed_without_vorn);
}

TEST_F(Session, AFailedAnswerEndsTheDropAndLeavesNothingToAnswerLater) {
  TestPeer peer({TestPeer::browser(Json{{"ready", "a"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  ASSERT_EQ(connect_browser(state_), true);
  for (const char* method : {"tools/call", "ping", "tools/list"}) {
    Json request{{"id", method}, {"jsonrpc", "2.0"}, {"method", method}};
    Frame frame = *encode_frame(Json{{"mcp", request}});
    ASSERT_TRUE(forward_request(state_, PendingMeta{method, false}, method, frame));
  }

  state_.agent_out.fd = -1;  // the agent's end no longer takes writes
  Status failed = fail_pending(state_);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().os_error, EBADF);
  EXPECT_FALSE(state_.connection.has_value());

  // The calls left unanswered are gone with the connection, not kept for
  // a later drop.
  state_.agent_out.fd = agent_out_.get();
  ASSERT_TRUE(fail_pending(state_));
  EXPECT_TRUE(agent_lines().empty());
}

TEST_F(Session, AFailedWriteIsTriedOnceMoreOnAFreshConnection) {
  TestPeer peer({TestPeer::browser(Json{{"ready", "a"}}), TestPeer::browser(Json{{"ready", "b"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  ASSERT_EQ(connect_browser(state_), true);
  state_.connection->pending.emplace("9", PendingCall{9, "ping", false});
  // The old connection can no longer take a write.
  ASSERT_EQ(::shutdown(state_.connection->socket.get(), SHUT_WR), 0);

  Json request{{"id", 7}, {"jsonrpc", "2.0"}, {"method", "tools/call"}};
  Frame frame = *encode_frame(Json{{"mcp", request}});
  ASSERT_TRUE(forward_request(state_, PendingMeta{"tools/call", false}, 7, frame).has_value());
  ASSERT_TRUE(state_.connection.has_value());
  EXPECT_EQ(state_.connection->generation, 2u);
  EXPECT_TRUE(state_.connection->pending.contains("7"));
  EXPECT_EQ(peer.connections(), 2);
  // The call pending on the old connection was answered; the retried one not.
  std::vector<Json> lines = agent_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["id"], 9);
  (void)fail_pending(state_);
  while (peer.received().size() < 9) {
    if (!next_event()) break;
  }
  const std::vector<Json> frames = peer.received();
  ASSERT_GE(frames.size(), 9u);
  EXPECT_EQ(frames[6], (Json{{"mcp", *state_.initialize}}));
  EXPECT_EQ(frames[8], (Json{{"mcp", request}}));
}

TEST_F(Session, ListingWithoutTheBrowserIsAnnouncedAfterConnecting) {
  TestPeer peer({TestPeer::browser(Json{{"ready", "a"}})});
  write_port_json(tmp_.path(), port_json(peer.port()));
  state_.listed_without_vorn = true;
  state_.subscriptions = {Json("s1")};
  ASSERT_EQ(connect_browser(state_), true);
  EXPECT_FALSE(state_.listed_without_vorn);
  std::vector<Json> lines = agent_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], tools_changed_notification());
  EXPECT_EQ(lines[1], subscription_tools_changed_notification("s1"));
}

}  // namespace
}  // namespace vorn
