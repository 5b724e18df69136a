// Request validation: which request values pass, what they become, and the
// exact refusal objects for those that do not. Answers that need the disk are
// covered end to end.
#include "folder/request.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::folder {
namespace {

Json parse(std::string_view text) { return Json::parse(text); }

// A valid request of `op` with the given extra members.
Json base(std::string_view op, Json extra = Json::object()) {
  Json request = {{"id", "r1"}, {"op", std::string(op)}, {"root", "/tmp"}, {"requireTop", nullptr}};
  for (auto& [key, value] : extra.items()) request[key] = value;
  return request;
}

bool valid(const Json& request) { return validate_request(request).has_value(); }

TEST(MakeRefusal, KeysSerialiseInByteOrderAndErrorIsOptional) {
  EXPECT_EQ(make_refusal("not-a-directory").dump(), R"({"reachable":false,"reason":"not-a-directory"})");
  Json refusal = make_refusal("io-error", "Symlink");
  refusal["id"] = "x";
  EXPECT_EQ(refusal.dump(), R"({"error":"Symlink","id":"x","reachable":false,"reason":"io-error"})");
}

TEST(EchoId, OnlyWellFormedIdsAreEchoed) {
  std::string id64(64, 'a');
  EXPECT_EQ(echo_id(Json{{"id", id64}}), Json(id64));
  EXPECT_EQ(echo_id(Json{{"id", "A-z09"}}), Json("A-z09"));
  for (const Json& bad : {Json(id64 + "a"), Json(""), Json("a_b"), Json("a.b"), Json("a b"),
                          Json("\xC3\xA9"), Json(7), Json(nullptr)}) {
    EXPECT_TRUE(echo_id(Json{{"id", bad}}).is_null()) << bad.dump();
  }
  EXPECT_TRUE(echo_id(Json::array({"id"})).is_null());
  EXPECT_TRUE(echo_id(Json(5)).is_null());
}

TEST(HandleRequest, NonObjectsAndBadFieldsGiveTheInvalidRequestRefusal) {
  ServeContext context{"/nonexistent-request-dir"};
  const std::string invalid_null =
      R"({"error":"InvalidRequest","id":null,"reachable":false,"reason":"io-error"})";
  for (const char* text : {"5", "[1]", "null", "\"x\"", "{}"})
    EXPECT_EQ(handle_request(context, parse(text)).dump(), invalid_null) << text;
  // A good id survives a bad op.
  EXPECT_EQ(handle_request(context, base("list")).dump(),
            R"({"error":"InvalidRequest","id":"r1","reachable":false,"reason":"io-error"})");
}

TEST(Validate, RootRules) {
  Json request = base("exists", {{"path", "a"}});
  EXPECT_TRUE(valid(request));
  for (const Json& root : {Json(""), Json("relative/dir"), Json(std::string("/a\0b", 4)), Json(1),
                           Json(nullptr)}) {
    request["root"] = root;
    EXPECT_FALSE(valid(request)) << root.dump();
  }
  request["root"] = "/a/../b//c";
  auto parsed = validate_request(request);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->root, "/a/../b//c");
  request.erase("root");
  EXPECT_FALSE(valid(request));
}

TEST(Validate, RequireTopMustBePresentAndRelative) {
  Json request = base("exists", {{"path", "a"}});
  request["requireTop"] = "top/dir";
  auto parsed = validate_request(request);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->require_top, std::optional<std::string_view>("top/dir"));
  for (const Json& bad : {Json("a/../b"), Json("/abs"), Json(3), Json(false)}) {
    request["requireTop"] = bad;
    EXPECT_FALSE(valid(request)) << bad.dump();
  }
  request.erase("requireTop");
  EXPECT_FALSE(valid(request));
}

TEST(Validate, OpNamesAreExact) {
  for (const char* op : {"ReadDir", "readdir", "list", "", "makeDirs", "exists "})
    EXPECT_FALSE(valid(base(op, {{"path", "a"}}))) << op;
  Json request = base("exists", {{"path", "a"}});
  request["op"] = 6;
  EXPECT_FALSE(valid(request));
}

TEST(Validate, EachOpReadsItsOwnParameters) {
  auto op_of = [](const Json& request) { return validate_request(request)->op.index(); };
  // (Each Request borrows from its value; only the index outlives it here.)
  EXPECT_EQ(op_of(base("readDir", {{"path", "d"}})), 0u);
  EXPECT_EQ(op_of(base("readDirs", {{"dirs", Json::array()}})), 1u);
  EXPECT_EQ(op_of(base("write", {{"path", "f"}, {"payloads", {"payload-a.bin"}}})), 2u);
  EXPECT_EQ(op_of(base("writeFiles", {{"files", Json::array()}})), 3u);
  EXPECT_EQ(op_of(base("move", {{"from", "a"}, {"to", "b"}})), 4u);
  EXPECT_EQ(op_of(base("remove", {{"path", "a"}})), 5u);
  EXPECT_EQ(op_of(base("exists", {{"path", "a"}})), 6u);
  EXPECT_EQ(op_of(base("removeDir", {{"path", "a"}})), 7u);
  EXPECT_EQ(op_of(base("listNames", {{"path", "a"}})), 8u);
  EXPECT_EQ(op_of(base("makeDir", {{"path", "a"}})), 9u);

  // Missing or unsafe paths, and a move missing one end.
  for (const char* op : {"readDir", "write", "remove", "exists", "removeDir", "listNames", "makeDir"}) {
    EXPECT_FALSE(valid(base(op))) << op;
    EXPECT_FALSE(valid(base(op, {{"path", "a/../b"}, {"payloads", {"payload-a.bin"}}}))) << op;
  }
  EXPECT_FALSE(valid(base("move", {{"from", "a"}})));
  EXPECT_FALSE(valid(base("move", {{"from", "a"}, {"to", "/b"}})));
  // Keys an op does not use are ignored.
  EXPECT_TRUE(valid(base("exists", {{"path", "a"}, {"dirs", 5}, {"payloads", "junk"}})));
}

TEST(Validate, ListNamesHolding) {
  auto holding_of = [](const Json& request) -> std::optional<std::string> {
    auto holding = std::get<ListNamesOp>(validate_request(request)->op).holding;
    if (!holding) return std::nullopt;
    return std::string(*holding);
  };
  EXPECT_EQ(holding_of(base("listNames", {{"path", "a"}, {"holding", ".vorn"}})), ".vorn");
  EXPECT_EQ(holding_of(base("listNames", {{"path", "a"}, {"holding", nullptr}})), std::nullopt);
  for (const Json& bad : {Json("a/b"), Json(".."), Json(""), Json(1), Json("a:b")})
    EXPECT_FALSE(valid(base("listNames", {{"path", "a"}, {"holding", bad}}))) << bad.dump();
}

TEST(Validate, DirSpecFieldsAndMaxBytesBoundaries) {
  Json value = base("readDir", {{"path", "d"}, {"suffix", ""}, {"mine", "own.txt"}});
  auto spec = validate_request(value);
  ASSERT_TRUE(spec);
  const DirSpec& dir = std::get<ReadDirOp>(spec->op).spec;
  EXPECT_EQ(dir.path, "d");
  EXPECT_EQ(dir.suffix, std::optional<std::string_view>(""));
  EXPECT_EQ(dir.mine, std::optional<std::string_view>("own.txt"));
  EXPECT_EQ(dir.max_bytes, DEFAULT_MAX_BYTES);

  auto spec_of = [](Json extra) {
    extra["path"] = "d";
    return validate_request(base("readDir", extra)).has_value();
  };
  auto max_of = [&](const char* text) -> std::optional<std::uint64_t> {
    Json value = base("readDir", {{"path", "d"}, {"maxBytes", parse(text)}});
    auto request = validate_request(value);
    if (!request) return std::nullopt;
    return std::get<ReadDirOp>(request->op).spec.max_bytes;
  };
  EXPECT_EQ(max_of("33554432"), 33554432u);
  EXPECT_EQ(max_of("1"), 1u);
  EXPECT_EQ(max_of("100.0"), 100u);
  EXPECT_EQ(max_of("1e3"), 1000u);
  EXPECT_EQ(max_of("null"), DEFAULT_MAX_BYTES);
  for (const char* bad : {"0", "-1", "1.5", "33554433", "\"10\"", "true", "18446744073709551615", "-0.0"})
    EXPECT_EQ(max_of(bad), std::nullopt) << bad;
  EXPECT_FALSE(spec_of({{"suffix", 1}}));
  EXPECT_FALSE(spec_of({{"mine", false}}));
}

TEST(Validate, ListsAreCappedAtSixtyFour) {
  Json dirs = Json::array();
  for (int i = 0; i < 64; ++i) dirs.push_back({{"path", "d" + std::to_string(i)}});
  Json value = base("readDirs", {{"dirs", dirs}});
  auto request = validate_request(value);
  ASSERT_TRUE(request);
  EXPECT_EQ(std::get<ReadDirsOp>(request->op).dirs.size(), 64u);
  EXPECT_EQ(std::get<ReadDirsOp>(request->op).dirs[63].path, "d63");
  dirs.push_back({{"path", "d64"}});
  EXPECT_FALSE(valid(base("readDirs", {{"dirs", dirs}})));
  // One bad element spoils the list; so does a non-array.
  EXPECT_FALSE(valid(base("readDirs", {{"dirs", {{{"path", "a"}}, "b"}}})));
  EXPECT_FALSE(valid(base("readDirs", {{"dirs", {{"path", "a"}}}})));

  Json files = Json::array();
  Json payloads = Json::array();
  for (int i = 0; i < 64; ++i) {
    files.push_back({{"path", "f" + std::to_string(i)}});
    payloads.push_back("payload-" + std::to_string(i) + ".bin");
  }
  Json write_value = base("writeFiles", {{"files", files}, {"payloads", payloads}});
  auto write = validate_request(write_value);
  ASSERT_TRUE(write);
  EXPECT_EQ(write->payloads.size(), 64u);
  EXPECT_EQ(write->payloads[10], "payload-10.bin");
  files.push_back({{"path", "f64"}});
  payloads.push_back("payload-64.bin");
  EXPECT_FALSE(valid(base("writeFiles", {{"files", files}, {"payloads", payloads}})));
  EXPECT_FALSE(valid(base("writeFiles", {{"files", {"a"}}, {"payloads", {"payload-a.bin"}}})));
}

TEST(Validate, PayloadCountsMustMatch) {
  Json one = {"payload-a.bin"};
  Json two = {"payload-a.bin", "payload-b.bin"};
  EXPECT_TRUE(valid(base("write", {{"path", "f"}, {"payloads", one}})));
  EXPECT_FALSE(valid(base("write", {{"path", "f"}, {"payloads", Json::array()}})));
  EXPECT_FALSE(valid(base("write", {{"path", "f"}, {"payloads", two}})));
  EXPECT_FALSE(valid(base("write", {{"path", "f"}})));
  Json files = {{{"path", "a"}}, {{"path", "b"}}};
  EXPECT_TRUE(valid(base("writeFiles", {{"files", files}, {"payloads", two}})));
  EXPECT_FALSE(valid(base("writeFiles", {{"files", files}, {"payloads", one}})));
  // With no files the payloads are not looked at.
  EXPECT_TRUE(valid(base("writeFiles", {{"files", Json::array()}, {"payloads", 42}})));
  EXPECT_TRUE(valid(base("writeFiles", {{"files", Json::array()}})));
}

TEST(IsPayloadName, ShapeOfNames) {
  std::string token100(100, 'x');
  for (const std::string& good : {std::string("payload-a.bin"), std::string("payload---.bin"),
                                  std::string("payload-AZaz09.bin"), "payload-" + token100 + ".bin"})
    EXPECT_TRUE(is_payload_name(Json(good))) << good;
  for (const std::string& bad :
       {std::string("payload-.bin"), std::string("payload-a_b.bin"), std::string("payload-a.BIN"),
        std::string("payload-a/b.bin"), "payload-" + token100 + "x.bin", std::string("payload-a.bin "),
        std::string("xpayload-a.bin"), std::string("payload-a")})
    EXPECT_FALSE(is_payload_name(Json(bad))) << bad;
  EXPECT_FALSE(is_payload_name(Json(1)));
}

}  // namespace
}  // namespace vorn::folder
