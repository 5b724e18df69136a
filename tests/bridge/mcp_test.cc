#include "bridge/mcp.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <string>

#include "bridge/proof.h"

namespace vorn {
namespace {

std::string wire(const Json& value) { return write_json(value); }

Json request_with_meta(Json meta) {
  return Json{{"id", 4}, {"jsonrpc", "2.0"}, {"method", "tools/list"},
              {"params", Json{{"_meta", std::move(meta)}}}};
}

Json modern_meta() {
  return Json{{std::string(kMetaProtocolVersion), "2026-07-28"},
              {std::string(kMetaClientCapabilities), Json::object()}};
}

std::string error_line(const VersionCheck& check) {
  return check.has_value() ? std::string("no error") : wire(check.error());
}

TEST(Instructions, IsTheExactGuideText) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(INSTRUCTIONS.data()), INSTRUCTIONS.size(),
         digest.data());
  EXPECT_EQ(INSTRUCTIONS.size(), 6288u);
  EXPECT_EQ(to_hex(std::span<const std::uint8_t>(digest)),
            "354b3cbc96b157c1cc5dbad6b32b392eafb27ce76c4d144cb86fa001a781f189");
  EXPECT_EQ(std::count(INSTRUCTIONS.begin(), INSTRUCTIONS.end(), '\n'), 99);
  EXPECT_TRUE(INSTRUCTIONS.starts_with("Vorn is the user's own web browser."));
  EXPECT_TRUE(INSTRUCTIONS.ends_with("an agent is at work."));
}

TEST(Responses, CarryTheIdUnchangedInKeyOrder) {
  EXPECT_EQ(wire(rpc_result(7, Json::object())), R"({"id":7,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(wire(rpc_result(1.0, 5)), R"({"id":1.0,"jsonrpc":"2.0","result":5})");
  EXPECT_EQ(wire(rpc_result(Json{{"k", Json::array({1, "x"})}}, nullptr)),
            R"({"id":{"k":[1,"x"]},"jsonrpc":"2.0","result":null})");
  EXPECT_EQ(wire(rpc_error(nullptr, kParseError, std::string(kParseErrorMessage))),
            R"({"error":{"code":-32700,"message":"parse error"},"id":null,"jsonrpc":"2.0"})");
  EXPECT_EQ(wire(rpc_error("a", kMethodNotFound, std::string(kMethodNotFoundMessage))),
            R"({"error":{"code":-32601,"message":"method not found"},"id":"a","jsonrpc":"2.0"})");
}

TEST(Initialize, ChoosesOnlyTheTwoDatedVersions) {
  auto chosen = [](Json message) {
    return initialize_result(message)["protocolVersion"].get<std::string>();
  };
  auto with_version = [](Json version) {
    return Json{{"id", 1}, {"method", "initialize"},
                {"params", Json{{"protocolVersion", std::move(version)}}}};
  };
  EXPECT_EQ(chosen(with_version("2025-06-18")), "2025-06-18");
  EXPECT_EQ(chosen(with_version("2025-11-25")), "2025-11-25");
  EXPECT_EQ(chosen(with_version("2026-07-28")), "2025-11-25");
  EXPECT_EQ(chosen(with_version("2025-06-18 ")), "2025-11-25");
  EXPECT_EQ(chosen(with_version(20250618)), "2025-11-25");
  EXPECT_EQ(chosen(Json{{"id", 1}, {"method", "initialize"}}), "2025-11-25");
  EXPECT_EQ(chosen(Json{{"params", "x"}}), "2025-11-25");
  EXPECT_EQ(chosen(Json::array()), "2025-11-25");
}

TEST(Initialize, ResultIsNeverDecorated) {
  // Even a request that names the newest version per request.
  Json message{{"id", 1},
               {"method", "initialize"},
               {"params", Json{{"protocolVersion", "2025-06-18"}, {"_meta", modern_meta()}}}};
  Json result = initialize_result(message);
  EXPECT_EQ(result["instructions"], INSTRUCTIONS);
  result.erase("instructions");
  EXPECT_EQ(wire(result),
            R"({"capabilities":{"tools":{"listChanged":true}},"protocolVersion":"2025-06-18",)"
            R"("serverInfo":{"name":"vorn","version":"0.1.0-rc.8"}})");
}

TEST(VersionCheck, ClassifiesRequests) {
  EXPECT_EQ(check_protocol_version(Json{{"id", 1}, {"method", "ping"}}),
            VersionCheck(RequestVersion::kUnversioned));
  EXPECT_EQ(check_protocol_version(Json{{"id", 1}, {"params", Json{{"_meta", 3}}}}),
            VersionCheck(RequestVersion::kUnversioned));
  EXPECT_EQ(check_protocol_version(request_with_meta(Json{{"other", 1}})),
            VersionCheck(RequestVersion::kUnversioned));
  EXPECT_EQ(check_protocol_version(Json::array({1, 2})),
            VersionCheck(RequestVersion::kUnversioned));
  EXPECT_EQ(check_protocol_version(
                request_with_meta(Json{{std::string(kMetaProtocolVersion), "2025-06-18"}})),
            VersionCheck(RequestVersion::kDated));
  EXPECT_EQ(check_protocol_version(request_with_meta(
                Json{{std::string(kMetaProtocolVersion), "2025-11-25"},
                     {std::string(kMetaClientCapabilities), "ignored"}})),
            VersionCheck(RequestVersion::kDated));
  EXPECT_EQ(check_protocol_version(request_with_meta(modern_meta())),
            VersionCheck(RequestVersion::kModern));
}

TEST(VersionCheck, RefusesWithTheExactErrors) {
  const std::string version_key(kMetaProtocolVersion);
  const std::string caps_key(kMetaClientCapabilities);
  for (Json bad : {Json(nullptr), Json(20260728), Json(true), Json::array(), Json::object()}) {
    EXPECT_EQ(error_line(check_protocol_version(request_with_meta(Json{{version_key, bad}}))),
              R"({"error":{"code":-32602,"message":"invalid params: )"
              R"(io.modelcontextprotocol/protocolVersion"},"id":4,"jsonrpc":"2.0"})")
        << bad;
  }
  for (Json caps : {Json(nullptr), Json::array(), Json("x")}) {
    EXPECT_EQ(error_line(check_protocol_version(
                  request_with_meta(Json{{version_key, "2026-07-28"}, {caps_key, caps}}))),
              R"({"error":{"code":-32602,"message":"invalid params: )"
              R"(io.modelcontextprotocol/clientCapabilities"},"id":4,"jsonrpc":"2.0"})")
        << caps;
  }
  EXPECT_EQ(error_line(check_protocol_version(
                request_with_meta(Json{{version_key, "2026-07-28"}}))),
            R"({"error":{"code":-32602,"message":"invalid params: )"
            R"(io.modelcontextprotocol/clientCapabilities"},"id":4,"jsonrpc":"2.0"})");
  EXPECT_EQ(error_line(check_protocol_version(
                request_with_meta(Json{{version_key, "2024-11-05"}}))),
            R"({"error":{"code":-32022,"data":{"requested":"2024-11-05","supported":)"
            R"(["2025-06-18","2025-11-25","2026-07-28"]},"message":"Unsupported protocol )"
            R"(version"},"id":4,"jsonrpc":"2.0"})");
  EXPECT_EQ(error_line(check_protocol_version(request_with_meta(Json{{version_key, ""}}))),
            R"({"error":{"code":-32022,"data":{"requested":"","supported":)"
            R"(["2025-06-18","2025-11-25","2026-07-28"]},"message":"Unsupported protocol )"
            R"(version"},"id":4,"jsonrpc":"2.0"})");
  // Another case or padding is another version.
  EXPECT_FALSE(check_protocol_version(
                   request_with_meta(Json{{version_key, "2025-06-18 "}, {caps_key, {}}}))
                   .has_value());
}

TEST(VersionCheck, EchoesAnyIdAndNullWithoutOne) {
  Json message = request_with_meta(Json{{std::string(kMetaProtocolVersion), nullptr}});
  message["id"] = Json{{"b", "c"}};
  EXPECT_EQ(check_protocol_version(message).error()["id"], (Json{{"b", "c"}}));
  message.erase("id");
  EXPECT_TRUE(check_protocol_version(message).error()["id"].is_null());
}

TEST(Decoration, AddsTypeIdentityAndListCacheHints) {
  const std::string server = R"({"io.modelcontextprotocol/serverInfo":)"
                             R"({"name":"vorn","version":"0.1.0-rc.8"}})";
  EXPECT_EQ(wire(decorate_result("tools/list", Json{{"tools", Json::array()}})),
            R"({"_meta":)" + server +
                R"(,"cacheScope":"private","resultType":"complete","tools":[],"ttlMs":0})");
  EXPECT_EQ(wire(decorate_result("ping", Json::object())),
            R"({"_meta":)" + server + R"(,"resultType":"complete"})");
  EXPECT_EQ(wire(decorate_result("tools/list", Json::array({1}))), "[1]");
  EXPECT_EQ(wire(decorate_result("ping", "text")), R"("text")");

  Json kept = decorate_result("tools/call", Json{{"_meta", Json{{"a", 1}}}, {"resultType", "x"}});
  EXPECT_EQ(kept["_meta"]["a"], 1);
  EXPECT_EQ(kept["_meta"][std::string(kMetaServerInfo)], server_info());
  EXPECT_EQ(kept["resultType"], "complete");
  EXPECT_FALSE(kept.contains("ttlMs"));

  EXPECT_EQ(wire(decorate_result("ping", Json{{"_meta", 5}})),
            R"({"_meta":5,"resultType":"complete"})");
  Json cached = decorate_result("tools/list", Json{{"ttlMs", 60000}, {"cacheScope", "public"}});
  EXPECT_EQ(cached["ttlMs"], 0);
  EXPECT_EQ(cached["cacheScope"], "private");
  // Only an exact method name gets the hints.
  EXPECT_FALSE(decorate_result("tools/list ", Json::object()).contains("cacheScope"));
}

TEST(Discover, IsDecoratedOnceAndPublic) {
  Json result = discover_result();
  EXPECT_EQ(result["instructions"], INSTRUCTIONS);
  result.erase("instructions");
  EXPECT_EQ(wire(result),
            R"({"_meta":{"io.modelcontextprotocol/serverInfo":{"name":"vorn",)"
            R"("version":"0.1.0-rc.8"}},"cacheScope":"public","capabilities":{"tools":)"
            R"({"listChanged":true}},"resultType":"complete","supportedVersions":)"
            R"(["2025-06-18","2025-11-25","2026-07-28"],"ttlMs":0})");
}

TEST(ClientName, TakesTheFirstTextName) {
  auto info = [](Json name) { return Json{{"clientInfo", Json{{"name", std::move(name)}}}}; };
  auto meta_info = [](Json name) {
    return Json{{"_meta", Json{{std::string(kMetaClientInfo), Json{{"name", std::move(name)}}}}}};
  };
  EXPECT_EQ(client_name(Json{{"params", info("claude")}}), "claude");
  EXPECT_EQ(client_name(Json{{"params", info("")}}), "");
  Json both = info(42);
  both.update(meta_info("from-meta"));
  EXPECT_EQ(client_name(Json{{"params", both}}), "from-meta");
  both = info("first");
  both.update(meta_info("second"));
  EXPECT_EQ(client_name(Json{{"params", both}}), "first");
  EXPECT_EQ(client_name(Json{{"params", meta_info(nullptr)}}), "Agent");
  EXPECT_EQ(client_name(Json{{"params", Json{{"clientInfo", "x"}}}}), "Agent");
  EXPECT_EQ(client_name(Json{{"params", Json::array()}}), "Agent");
  EXPECT_EQ(client_name(Json(nullptr)), "Agent");
}

}  // namespace
}  // namespace vorn
