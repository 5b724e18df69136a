// The relay loop against a browser played by the test: the test holds the
// other end of the connection's socket and injects the events that the
// socket reader would send, so every browser path runs without a listener.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/identity.h"
#include "bridge/stdin.h"
#include "frame/frame.h"
#include "frame/json.h"
#include "frame/unique_fd.h"
#include "tests/bridge/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWaitMs = 20000;  // bound on waiting for any one event

class RecordingStore final : public SecretStore {
 public:
  std::optional<Credentials> load(std::string_view) override { return std::nullopt; }
  Status save(std::string_view key, const Credentials& credentials) override {
    saved.emplace_back(std::string(key), credentials);
    if (fail_saves) return fail(ErrorKind::kOther, "disk full");
    return {};
  }
  void remove(std::string_view) override {}

  std::vector<std::pair<std::string, Credentials>> saved;
  bool fail_saves = false;
};

class RefusingLauncher final : public Launcher {
 public:
  Status launch(const fs::path&) override { return fail(ErrorKind::kNotFound, "no browser here"); }
};

Json parse(std::string_view text) {
  Result<Json> value = parse_json(text);
  if (!value) {
    ADD_FAILURE() << "not JSON: " << text;
    return nullptr;
  }
  return *value;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_ = dir_.path();

    int out[2];
    VORN_CHECK(::pipe2(out, O_CLOEXEC) == 0);
    agent_read_ = UniqueFd(out[0]);
    state_.agent_out.fd = out[1];
    agent_write_ = UniqueFd(out[1]);

    auto [sender, receiver] = make_channel<BridgeEvent>();
    inject_ = sender;
    state_.events = std::move(sender);
    receiver_.emplace(std::move(receiver));

    state_.profile_dir = profile_;
    state_.params = session_params();
    state_.secret_store = store_;
    state_.launcher = std::make_shared<RefusingLauncher>();
    build_identity(state_, "relay-test");
    state_.initialize = parse(R"({"id":0,"jsonrpc":"2.0","method":"initialize"})");
    state_.initialized = true;
  }

  void TearDown() override {
    if (loop_.joinable()) {
      (void)inject_.send(StdinClosed{});
      (void)inject_.send(ConnectionClosed{state_generation_, std::nullopt});
      loop_.join();
    }
  }

  // Gives the state a live connection whose far end the test holds.
  void connect(std::uint64_t generation = 1) {
    int pair[2];
    VORN_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    browser_ = UniqueFd(pair[1]);
    BrowserConnection connection;
    connection.generation = generation;
    connection.socket = UniqueFd(pair[0]);
    state_.connection.emplace(std::move(connection));
    state_.generation = generation;
    state_generation_ = generation;
  }

  void start() {
    loop_ = std::thread([this] { result_ = relay_loop(state_, *receiver_); });
  }
  // Waits for the loop to end by itself.
  BridgeResult finish() {
    loop_.join();
    return result_;
  }

  void agent(std::string text) { ASSERT_TRUE(inject_.send(AgentLine{std::move(text)})); }
  void browser(Json value, std::uint64_t generation = 1) {
    ASSERT_TRUE(inject_.send(BrowserFrame{generation, std::move(value)}));
  }

  // The next line the bridge wrote to the agent.
  std::string agent_line() {
    for (;;) {
      const auto newline = agent_buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = agent_buffer_.substr(0, newline);
        agent_buffer_.erase(0, newline + 1);
        return line;
      }
      pollfd pfd{agent_read_.get(), POLLIN, 0};
      if (::poll(&pfd, 1, kWaitMs) != 1) return "<no line>";
      char chunk[65536];
      const ssize_t n = ::read(agent_read_.get(), chunk, sizeof chunk);
      if (n <= 0) return "<closed>";
      agent_buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // The next frame the bridge wrote to the browser; null at end of stream.
  Json browser_frame() {
    pollfd pfd{browser_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, kWaitMs) != 1) return "<no frame>";
    Result<std::optional<Json>> frame = read_frame(socket_source(browser_.get()));
    if (!frame) return "<error " + frame.error().text() + ">";
    return frame->value_or(nullptr);
  }

  // Opens a launch queue holding one tool call with id `id`.
  void queue_tool_call(int id, std::chrono::milliseconds wait) {
    Json request = {{"id", id}, {"jsonrpc", "2.0"}, {"method", "tools/call"}};
    auto frame = encode_frame(Json{{"mcp", request}});
    ASSERT_TRUE(frame.has_value());
    LaunchQueue queue;
    queue.entries.push_back(QueuedRequest{PendingMeta{"tools/call", false}, id, *frame});
    queue.deadline = std::chrono::steady_clock::now() + wait;
    state_.launch_queue.emplace(std::move(queue));
  }

  // Round trip through the loop: once the ping's answer is out, everything
  // injected before it has been handled.
  void settle() {
    agent(R"({"id":"settle","jsonrpc":"2.0","method":"ping"})");
    if (state_connected_for_settle_) {
      Json forwarded = browser_frame();
      ASSERT_EQ(forwarded["mcp"]["id"], "settle");
      browser(Json{{"mcp", {{"id", "settle"}, {"jsonrpc", "2.0"}, {"result", Json::object()}}}},
              state_generation_);
    }
    ASSERT_EQ(agent_line(), R"({"id":"settle","jsonrpc":"2.0","result":{}})");
  }

  testing::TempDir dir_;
  fs::path profile_;
  UniqueFd agent_read_;
  UniqueFd agent_write_;
  UniqueFd browser_;
  std::string agent_buffer_;
  std::shared_ptr<RecordingStore> store_ = std::make_shared<RecordingStore>();
  BridgeState state_;
  EventSender inject_;
  std::optional<EventReceiver> receiver_;
  std::thread loop_;
  BridgeResult result_;
  std::uint64_t state_generation_ = 0;
  bool state_connected_for_settle_ = true;
};

TEST_F(RelayTest, ForwardsRequestsUnchangedAndRelaysAnswersByIdText) {
  connect();
  state_.connection->pending.emplace("0", PendingCall{0, std::nullopt, false});
  start();

  agent(R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"z":1,"a":2}})");
  EXPECT_EQ(write_json(browser_frame()),
            R"({"mcp":{"id":1,"jsonrpc":"2.0","method":"tools/list","params":{"a":2,"z":1}}})");

  // The answer to the replayed initialize is dropped.
  browser(parse(R"({"mcp":{"id":0,"jsonrpc":"2.0","result":{"protocolVersion":"x"}}})"));
  // 1.0 is not the id 1: written, but the call stays pending.
  browser(parse(R"({"mcp":{"id":1.0,"jsonrpc":"2.0","result":{"tools":["wrong"]}}})"));
  EXPECT_EQ(agent_line(), R"({"id":1.0,"jsonrpc":"2.0","result":{"tools":["wrong"]}})");
  browser(parse(R"({"mcp":{"id":1,"jsonrpc":"2.0","result":{"tools":[{"name":"t"}]}}})"));
  EXPECT_EQ(agent_line(), R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{"name":"t"}]}})");

  // A tools/list answered with an error leaves the cache alone.
  agent(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
  (void)browser_frame();
  browser(parse(R"({"mcp":{"error":{"code":1,"message":"m"},"id":2,"jsonrpc":"2.0"}})"));
  EXPECT_EQ(agent_line(), R"({"error":{"code":1,"message":"m"},"id":2,"jsonrpc":"2.0"})");

  // Requests and notifications of the browser pass through as they are.
  browser(parse(R"({"mcp":{"jsonrpc":"2.0","method":"notifications/message","params":{"b":[1.5]}}})"));
  EXPECT_EQ(agent_line(), R"({"jsonrpc":"2.0","method":"notifications/message","params":{"b":[1.5]}})");
  // An answer nobody waits for still reaches the agent.
  browser(parse(R"({"mcp":{"id":"late","jsonrpc":"2.0","result":{}}})"));
  EXPECT_EQ(agent_line(), R"({"id":"late","jsonrpc":"2.0","result":{}})");
  settle();

  (void)inject_.send(StdinClosed{});
  EXPECT_EQ(browser_frame(), nullptr);  // the browser sees the end of input
  (void)inject_.send(ConnectionClosed{1, std::nullopt});
  ASSERT_TRUE(finish().has_value());
  EXPECT_EQ(state_.tools, parse(R"({"tools":[{"name":"t"}]})"));
}

TEST_F(RelayTest, StaleGenerationsAreIgnored) {
  connect(2);
  start();
  browser(parse(R"({"mcp":{"id":"old","jsonrpc":"2.0","result":{}}})"), 1);
  browser(parse(R"({"ctl":{"workspace":"ws-old"}})"), 1);
  ASSERT_TRUE(inject_.send(ConnectionClosed{1, Error::make(ErrorKind::kOther, "gone")}));
  ASSERT_TRUE(inject_.send(ConnectionClosed{3, std::nullopt}));
  settle();
  EXPECT_TRUE(state_.connection.has_value());
  (void)inject_.send(StdinClosed{});
  (void)inject_.send(ConnectionClosed{2, std::nullopt});
  ASSERT_TRUE(finish().has_value());
  EXPECT_FALSE(state_.workspace.has_value());
}

TEST_F(RelayTest, ToolsChangedIsAnnouncedNotRelayed) {
  connect();
  state_.subscriptions.push_back("sub");
  start();
  browser(parse(R"({"mcp":{"jsonrpc":"2.0","method":"notifications/tools/list_changed","params":{"x":1}}})"));
  EXPECT_EQ(agent_line(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  EXPECT_EQ(agent_line(),
            R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed","params":{"_meta":{"io.modelcontextprotocol/subscriptionId":"sub"}}})");
}

TEST_F(RelayTest, ControlFramesPairAndSetTheWorkspace) {
  connect();
  store_->fail_saves = false;
  start();
  browser(parse(R"({"ctl":{"workspace":"ws-1"}})"));
  browser(parse(R"({"ctl":{"paired":{"agent_id":"a1","secret":"s1"},"workspace":"ignored"}})"));
  browser(parse(R"({"ctl":{"paired":{"agent_id":"a2"}}})"));  // malformed: nothing changes
  browser(parse(R"({"ctl":{"paired":["a3","s3"]}})"));
  browser(parse(R"({"ctl":{"other":1}})"));
  browser(parse(R"({"nothing":true})"));
  browser(parse(R"([1,2])"));
  settle();
  EXPECT_EQ(state_.workspace, "ws-1");
  browser(parse(R"({"ctl":{"workspace":5}})"));
  settle();
  EXPECT_FALSE(state_.workspace.has_value());
  ASSERT_EQ(store_->saved.size(), 2u);
  EXPECT_EQ(store_->saved[0].first, *state_.account);
  EXPECT_EQ(store_->saved[0].second, (Credentials{"a1", "s1"}));
  EXPECT_EQ(store_->saved[1].second, (Credentials{"a3", "s3"}));
  EXPECT_EQ(state_.credentials, (Credentials{"a3", "s3"}));
}

TEST_F(RelayTest, AFailedSaveStillKeepsThePairInMemory) {
  connect();
  store_->fail_saves = true;
  start();
  browser(parse(R"({"ctl":{"paired":{"agent_id":"a","secret":"s"}}})"));
  settle();
  EXPECT_EQ(state_.credentials, (Credentials{"a", "s"}));
}

TEST_F(RelayTest, LostConnectionAnswersPendingCallsAndTheSessionGoesOn) {
  connect();
  start();
  agent(R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"x"}})");
  (void)browser_frame();
  ASSERT_TRUE(inject_.send(ConnectionClosed{1, Error::make(ErrorKind::kInvalidData, "bad frame")}));
  const Json answer = parse(agent_line());
  EXPECT_EQ(answer["id"], 7);
  EXPECT_NE(answer["result"]["content"][0]["text"].get<std::string>().find("vorn_disconnected"),
            std::string::npos);
  state_connected_for_settle_ = false;
  settle();
  EXPECT_FALSE(state_.connection.has_value());
  EXPECT_TRUE(state_.initialize.has_value());
  (void)inject_.send(StdinClosed{});
  ASSERT_TRUE(finish().has_value());
}

TEST_F(RelayTest, AnswersArrivingAfterTheAgentsInputEndedAreStillRelayed) {
  connect();
  start();
  agent(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"slow"}})");
  (void)browser_frame();
  (void)inject_.send(StdinClosed{});
  EXPECT_EQ(browser_frame(), nullptr);
  browser(parse(R"({"mcp":{"id":1,"jsonrpc":"2.0","result":{"done":true}}})"));
  EXPECT_EQ(agent_line(), R"({"id":1,"jsonrpc":"2.0","result":{"done":true}})");
  (void)inject_.send(ConnectionClosed{1, std::nullopt});
  ASSERT_TRUE(finish().has_value());
}

TEST_F(RelayTest, AReadErrorOnStandardInputEndsTheRun) {
  connect();
  start();
  (void)inject_.send(AgentLine{fail(ErrorKind::kInvalidData, "invalid utf-8 sequence")});
  BridgeResult result = finish();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(handshake_error_display(result.error()), "i/o: invalid utf-8 sequence");
  EXPECT_FALSE(state_.connection.has_value());
}

TEST_F(RelayTest, AQueueIsDrainedAtItsDeadlineEvenAfterTheInputEnded) {
  connect();
  queue_tool_call(5, 300ms);
  (void)inject_.send(StdinClosed{});
  start();
  EXPECT_EQ(write_json(browser_frame()), R"({"mcp":{"id":5,"jsonrpc":"2.0","method":"tools/call"}})");
  EXPECT_EQ(browser_frame(), nullptr);  // then the end of input
  browser(parse(R"({"mcp":{"id":5,"jsonrpc":"2.0","result":{}}})"));
  EXPECT_EQ(agent_line(), R"({"id":5,"jsonrpc":"2.0","result":{}})");
  (void)inject_.send(ConnectionClosed{1, std::nullopt});
  ASSERT_TRUE(finish().has_value());
}

TEST_F(RelayTest, AStaleClosingAfterTheInputEndedDoesNotDropQueuedRequests) {
  // Unconnected, one tool call waits for a browser that never shows up.
  queue_tool_call(6, 300ms);
  (void)inject_.send(StdinClosed{});
  (void)inject_.send(ConnectionClosed{4, std::nullopt});  // from a connection long gone
  start();
  const Json answer = parse(agent_line());
  EXPECT_EQ(answer["id"], 6);
  EXPECT_NE(answer["result"]["content"][0]["text"].get<std::string>().find("vorn_not_running"),
            std::string::npos);
  ASSERT_TRUE(finish().has_value());
}

TEST_F(RelayTest, CancellationForgetsSubscriptionsPendingCallsAndQueuedRequests) {
  connect();
  state_.subscriptions = {parse("1"), parse("1.0"), parse("\"1\""), parse("1")};
  state_.connection->pending.emplace("9", PendingCall{9, "tools/call", false});
  start();
  agent(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
  agent(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":9}})");
  // Both travel on to the browser as they came.
  EXPECT_EQ(browser_frame()["mcp"]["params"]["requestId"], 1);
  EXPECT_EQ(browser_frame()["mcp"]["params"]["requestId"], 9);
  // The cancelled call's late answer is still relayed, as one nobody waits for.
  browser(parse(R"({"mcp":{"id":9,"jsonrpc":"2.0","result":{}}})"));
  EXPECT_EQ(agent_line(), R"({"id":9,"jsonrpc":"2.0","result":{}})");
  settle();
  EXPECT_EQ(write_json(state_.subscriptions), R"([1.0,"1"])");
  EXPECT_TRUE(state_.connection->pending.empty());
}

TEST_F(RelayTest, ACancelledQueuedRequestIsNeitherForwardedNorAnswered) {
  queue_tool_call(6, 1500ms);
  state_connected_for_settle_ = false;
  start();
  agent(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":6}})");
  settle();
  (void)inject_.send(StdinClosed{});
  ASSERT_TRUE(finish().has_value());  // after the drain, which had nothing left
  agent_write_.reset();
  EXPECT_EQ(agent_line(), "<closed>");
}

TEST_F(RelayTest, ANotificationTooBigForAFrameDropsTheConnection) {
  connect();
  start();
  agent(R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"pad":")" +
        std::string(FRAME_LIMIT, 'x') + R"("}})");
  EXPECT_EQ(browser_frame(), nullptr);  // shut down, nothing sent
  state_connected_for_settle_ = false;
  settle();
  EXPECT_FALSE(state_.connection.has_value());
}

// Counts the lines of a file that may not exist yet.
std::size_t line_count(const fs::path& path) {
  std::ifstream in(path);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

bool wait_for_lines(const fs::path& path, std::size_t count) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (line_count(path) < count) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST_F(RelayTest, AnEventArrivingDuringTheUpdateTestIsHandledAndTheTestAsksAgain) {
  const fs::path program = profile_ / "vorn-mcp";
  const fs::path probes = profile_ / "probes";
  const fs::path gate = profile_ / "gate";
  const fs::path stamp = profile_ / "stamp";
  testing::write_file(stamp, "29991231235959");
  // Answers --version with the stamp it finds on starting, once the test
  // opens the gate; run any other way it fails, so a hand-over shows.
  testing::write_file(program,
                      "#!/bin/sh\n"
                      "[ \"$1\" = --version ] || exit 1\n"
                      "s=$(cat '" + stamp.string() + "')\n"
                      "echo probe >> '" + probes.string() + "'\n"
                      "while [ ! -e '" + gate.string() + "' ]; do sleep 0.01; done\n"
                      "echo \"vorn-mcp $s\"\n",
                      0700);
  state_.exe_snapshot.emplace(ExeSnapshot{std::nullopt, program, std::make_shared<StdinShared>()});
  state_connected_for_settle_ = false;
  start();

  ASSERT_TRUE(wait_for_lines(probes, 1));
  // The probe will report another build, but a line is now waiting.
  agent(R"({"id":"held","jsonrpc":"2.0","method":"ping"})");
  testing::write_file(stamp, BUILD_STAMP);
  testing::write_file(gate, "");
  EXPECT_EQ(agent_line(), R"({"id":"held","jsonrpc":"2.0","result":{}})");
  // The file is asked again at a later idle turn, now naming this build.
  EXPECT_TRUE(wait_for_lines(probes, 2));
}

TEST_F(RelayTest, UnhandledLineCountGoesDownAsLinesAreTaken) {
  auto shared = std::make_shared<StdinShared>();
  shared->pending_lines = 2;
  state_.exe_snapshot.emplace(ExeSnapshot{std::nullopt, "/nonexistent/vorn-mcp", shared});
  state_connected_for_settle_ = false;
  start();
  agent("");
  settle();
  std::lock_guard lock(shared->mutex);
  EXPECT_EQ(shared->pending_lines, 0u);  // two taken, never below zero
}

}  // namespace
}  // namespace vorn
