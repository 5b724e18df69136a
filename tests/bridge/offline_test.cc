#include "bridge/offline.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "bridge/bridge.h"
#include "frame/unique_fd.h"

namespace vorn {
namespace {

Json parse_json_or_die(std::string_view text) {
  Result<Json> value = parse_json(text);
  if (!value) ADD_FAILURE() << value.error().text() << " in " << text;
  return value ? *value : Json();
}

TEST(ToolErrorResult, CarriesCodeAndMessageAsJsonText) {
  EXPECT_EQ(
      write_json(tool_error_result(kAccessOff)),
      R"({"content":[{"text":"{\"error\":\"access_off\",\"message\":\"access_off: Vorn is )"
      R"(running, but agent access is off in its settings. Ask the user to turn agent access )"
      R"(on in Vorn's settings, then try again.\"}","type":"text"}],"isError":true})");

  for (const ToolError* error :
       {&kVornNotRunning, &kAccessOff, &kVornMcpOutdated, &kVornDisconnected, &kRequestTooLarge}) {
    const Json result = tool_error_result(*error);
    const Json body = parse_json_or_die(result["content"][0]["text"].get<std::string>());
    EXPECT_EQ(body.size(), 2u);
    EXPECT_EQ(body["error"], error->code);
    EXPECT_EQ(body["message"], std::string(error->code) + ": " + std::string(error->message));
    EXPECT_EQ(result["isError"], true);
  }
}

TEST(ToolErrors, OfflineChoiceAndTexts) {
  EXPECT_EQ(&offline_tool_error(false, false), &kVornNotRunning);
  EXPECT_EQ(&offline_tool_error(false, true), &kAccessOff);
  EXPECT_EQ(&offline_tool_error(true, false), &kVornMcpOutdated);
  EXPECT_EQ(&offline_tool_error(true, true), &kVornMcpOutdated);
  // The texts are what agents read and match on; the whole table, verbatim.
  const std::pair<const ToolError*, std::string_view> texts[] = {
      {&kVornNotRunning,
       "vorn_not_running: Vorn is not running, or agent access is off in Vorn's settings. Ask "
       "the user to start Vorn or turn agent access on in its settings, then try again."},
      {&kAccessOff,
       "access_off: Vorn is running, but agent access is off in its settings. Ask the user to "
       "turn agent access on in Vorn's settings, then try again."},
      {&kVornMcpOutdated,
       "vorn_mcp_outdated: Vorn has updated, and this vorn-mcp is older than it. Ask the user "
       "to restart this agent, which loads the updated vorn-mcp, then try again."},
      {&kVornDisconnected,
       "vorn_disconnected: Vorn closed the connection before answering, so the call may or "
       "may not have run. Check before trying again."},
      {&kRequestTooLarge,
       "invalid_arguments: The request is over 1 MiB, the most Vorn reads in one message. Send "
       "less in one call, such as fewer or shorter fields."},
  };
  for (const auto& [error, text] : texts) EXPECT_EQ(error->text(), text);
}

TEST(ToolsChanged, PlainAndPerSubscriptionForms) {
  EXPECT_EQ(write_json(tools_changed_notification()),
            R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  EXPECT_EQ(write_json(subscription_tools_changed_notification(Json{{"s", 1.5}})),
            R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed","params":)"
            R"({"_meta":{"io.modelcontextprotocol/subscriptionId":{"s":1.5}}}})");
}

// A session whose agent output goes into a pipe the test reads back.
class AgentSide : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read_end_.reset(fds[0]);
    write_end_.reset(fds[1]);
    state_.agent_out.fd = write_end_.get();
  }

  // Every line written so far, newlines removed.
  std::vector<std::string> lines() {
    std::string data;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(read_end_.get(), chunk, sizeof chunk);
      if (n <= 0) break;
      data.append(chunk, static_cast<std::size_t>(n));
    }
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
      out.push_back(data.substr(start, end - start));
    }
    EXPECT_EQ(start, data.size()) << "unterminated line";
    return out;
  }

  // Points the agent output at a descriptor that refuses writes.
  void break_output() { state_.agent_out.fd = -1; }

  UniqueFd read_end_, write_end_;
  BridgeState state_;
};

const std::string kServerMeta =
    R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"vorn","version":"0.1.0-rc.8"}})";

TEST_F(AgentSide, ReplyDecoratesOnlyModernRequests) {
  ASSERT_TRUE(reply_to_agent(state_, {"ping", false}, 1, Json::object()));
  ASSERT_TRUE(reply_to_agent(state_, {"ping", true}, "p", Json::object()));
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         R"({"id":1,"jsonrpc":"2.0","result":{}})",
                         R"({"id":"p","jsonrpc":"2.0","result":{)" + kServerMeta +
                             R"(,"resultType":"complete"}})"}));
  break_output();
  Status failed = reply_to_agent(state_, {"ping", false}, 1, Json::object());
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().os_error, EBADF);
}

TEST_F(AgentSide, OfflineAnswersFollowTheMethod) {
  ASSERT_TRUE(answer_offline(state_, {"ping", false}, 1));
  ASSERT_TRUE(answer_offline(state_, {"tools/list", false}, 2));
  EXPECT_TRUE(state_.listed_without_vorn);
  ASSERT_TRUE(answer_offline(state_, {"tools/call", false}, 3));
  ASSERT_TRUE(answer_offline(state_, {"resources/list", true}, 4));
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], R"({"id":1,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(got[1], R"({"id":2,"jsonrpc":"2.0","result":{"tools":[]}})");
  EXPECT_EQ(parse_json_or_die(got[2]), rpc_result(3, tool_error_result(kVornNotRunning)));
  // Error responses are never decorated, even for a modern request.
  EXPECT_EQ(got[3],
            R"({"error":{"code":-32000,"message":"vorn_not_running: Vorn is not running, or )"
            R"(agent access is off in Vorn's settings. Ask the user to start Vorn or turn agent )"
            R"(access on in its settings, then try again."},"id":4,"jsonrpc":"2.0"})");
}

TEST_F(AgentSide, OfflineListServesTheCacheAndModernHints) {
  ASSERT_TRUE(answer_offline(state_, {"tools/list", true}, 9));
  state_.tools = Json{{"tools", Json::array({Json{{"name", "open_tab"}}})}};
  ASSERT_TRUE(answer_offline(state_, {"tools/list", false}, 10));
  ASSERT_TRUE(answer_offline(state_, {"tools/list", true}, 11));
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], R"({"id":9,"jsonrpc":"2.0","result":{)" + kServerMeta +
                        R"(,"cacheScope":"private","resultType":"complete","tools":[],"ttlMs":0}})");
  EXPECT_EQ(got[1], R"({"id":10,"jsonrpc":"2.0","result":{"tools":[{"name":"open_tab"}]}})");
  EXPECT_EQ(parse_json_or_die(got[2])["result"]["tools"], (*state_.tools)["tools"]);
  // Decorating the answer leaves the cache as the browser sent it.
  EXPECT_EQ(*state_.tools, (Json{{"tools", Json::array({Json{{"name", "open_tab"}}})}}));
}

TEST_F(AgentSide, OfflineFlagsChooseTheToolError) {
  auto call_error = [&]() {
    EXPECT_TRUE(answer_offline(state_, {"tools/call", false}, 1));
    const std::vector<std::string> got = lines();
    EXPECT_EQ(got.size(), 1u);
    if (got.empty()) return std::string();
    const Json text = parse_json_or_die(got[0])["result"]["content"][0]["text"];
    return parse_json_or_die(text.get<std::string>())["error"].get<std::string>();
  };
  state_.access_off = true;
  EXPECT_EQ(call_error(), "access_off");
  state_.outdated = true;
  EXPECT_EQ(call_error(), "vorn_mcp_outdated");
  state_.access_off = false;
  EXPECT_EQ(call_error(), "vorn_mcp_outdated");
  ASSERT_TRUE(answer_offline(state_, {"prompts/list", false}, 2));
  EXPECT_TRUE(parse_json_or_die(lines().at(0))["error"]["message"].get<std::string>().starts_with(
      "vorn_mcp_outdated: "));
}

TEST_F(AgentSide, AnnouncesToTheSessionAndEachSubscription) {
  ASSERT_TRUE(announce_tools_changed(state_));
  EXPECT_TRUE(lines().empty());

  state_.subscriptions = {Json(5), Json("s")};
  ASSERT_TRUE(announce_tools_changed(state_));
  const std::string prefix =
      R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed","params":)"
      R"({"_meta":{"io.modelcontextprotocol/subscriptionId":)";
  EXPECT_EQ(lines(), (std::vector<std::string>{prefix + "5}}}", prefix + R"("s"}}})"}));

  state_.initialize = Json{{"id", 0}, {"method", "initialize"}};
  ASSERT_TRUE(announce_tools_changed(state_));
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");

  break_output();
  EXPECT_FALSE(announce_tools_changed(state_));
}

}  // namespace
}  // namespace vorn
