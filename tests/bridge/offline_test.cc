#include "bridge/offline.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn {
namespace {

TEST(ToolErrorResult, CarriesCodeAndMessageAsJsonText) {
  EXPECT_EQ(
      tool_error_result(kAccessOff).dump(),
      R"({"content":[{"text":"{\"error\":\"access_off\",\"message\":\"access_off: Vorn is )"
      R"(running, but agent access is off in its settings. Ask the user to turn agent access )"
      R"(on in Vorn's settings, then try again.\"}","type":"text"}],"isError":true})");

  for (const ToolError* error :
       {&kVornNotRunning, &kAccessOff, &kVornMcpOutdated, &kVornDisconnected, &kRequestTooLarge}) {
    const Json result = tool_error_result(*error);
    const Json body = Json::parse(result["content"][0]["text"].get<std::string>());
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
  EXPECT_EQ(kVornNotRunning.text(),
            "vorn_not_running: Vorn is not running, or agent access is off in Vorn's settings. "
            "Ask the user to start Vorn or turn agent access on in its settings, then try again.");
  EXPECT_EQ(kVornMcpOutdated.text(),
            "vorn_mcp_outdated: Vorn has updated, and this vorn-mcp is older than it. Ask the "
            "user to restart this agent, which loads the updated vorn-mcp, then try again.");
  EXPECT_EQ(kVornDisconnected.text(),
            "vorn_disconnected: Vorn closed the connection before answering, so the call may or "
            "may not have run. Check before trying again.");
  EXPECT_EQ(kRequestTooLarge.text(),
            "invalid_arguments: The request is over 1 MiB, the most Vorn reads in one message. "
            "Send less in one call, such as fewer or shorter fields.");
}

TEST(ToolsChanged, PlainAndPerSubscriptionForms) {
  EXPECT_EQ(tools_changed_notification().dump(),
            R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  EXPECT_EQ(subscription_tools_changed_notification(Json{{"s", 1.5}}).dump(),
            R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed","params":)"
            R"({"_meta":{"io.modelcontextprotocol/subscriptionId":{"s":1.5}}}})");
}

}  // namespace
}  // namespace vorn
