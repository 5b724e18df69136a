#include "bridge/identity.h"

#include <gtest/gtest.h>

#include <string>

#include "bridge/bridge.h"
#include "bridge/secrets.h"

namespace vorn {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";
const std::string kEllipsis = "\xE2\x80\xA6";

TEST(AccountText, IsACompactPairOfProfileAndClient) {
  const std::string account = account_text("/srv/agent/profile", "Agent");
  EXPECT_EQ(account, R"(["/srv/agent/profile","Agent"])");
  EXPECT_EQ(account.size(), 30u);
  EXPECT_EQ(account_text("/p", ""), R"(["/p",""])");
  EXPECT_EQ(account_text("/a\"b\\c", "n\x01\xC3\xA9/\x7F"),
            "[\"/a\\\"b\\\\c\",\"n\\u0001\xC3\xA9/\x7F\"]");
  EXPECT_EQ(account_text("/bad\xFFpath", "Agent"), "[\"/bad" + kFffd + "path\",\"Agent\"]");
}

TEST(IdentityId, IsTheFrontOfTheCredentialsDigest) {
  const std::string account = account_text("/srv/agent/profile", "Agent");
  EXPECT_EQ(identity_id(account), "9c578af320e1282b");
  EXPECT_EQ(short_digest(account).substr(0, 16), identity_id(account));
  EXPECT_EQ(identity_id(account_text("/p", "")).size(), 16u);
  EXPECT_NE(identity_id(account_text("/p", "a")), identity_id(account_text("/p", "b")));
  EXPECT_EQ(identity_id(account_text("/p", "a")), identity_id(account_text("/p", "a")));
}

TEST(IdentityDirText, KeepsTheEndWithinTheLimit) {
  EXPECT_EQ(identity_dir_text(""), "");
  const std::string fits = "/" + std::string(1023, 'd');
  EXPECT_EQ(identity_dir_text(fits), fits);
  const std::string over = "/" + std::string(1024, 'd');
  EXPECT_EQ(identity_dir_text(over), kEllipsis + over.substr(1));

  // Quotation marks take two bytes each inside JSON.
  const std::string quoted = "/w" + std::string(600, '"');
  EXPECT_EQ(identity_dir_text(quoted), kEllipsis + std::string(512, '"'));
  // Other control characters take six.
  const std::string controls = "/" + std::string(200, '\x01');
  EXPECT_EQ(identity_dir_text(controls), kEllipsis + std::string(170, '\x01'));

  // A two-byte character that would carry the sum from 1023 to 1025 goes,
  // with everything before it.
  const std::string tail(1023, 'x');
  const std::string wide = "/\xC3\xA9" + tail;
  EXPECT_EQ(identity_dir_text(wide), kEllipsis + tail);
  // Characters are never split: a four-byte one stays whole or goes whole.
  const std::string emoji = "\xF0\x9F\x98\x80" + std::string(1020, 'y');
  EXPECT_EQ(identity_dir_text(emoji), emoji);
  EXPECT_EQ(identity_dir_text("/" + emoji), kEllipsis + emoji);
  EXPECT_EQ(identity_dir_text(emoji + "y"), kEllipsis + std::string(1021, 'y'));

  EXPECT_EQ(identity_dir_text("/home/\xFF"), "/home/" + kFffd);
}

TEST(BridgeIdentity, WritesFourKeysInOrder) {
  const std::string account = account_text("/srv/agent/profile", "Agent");
  BridgeIdentity identity("/work/dir", account, 1765000000123);
  EXPECT_EQ(write_json(identity.to_json()),
            R"({"build":"20261106100303","dir":"/work/dir","id":"9c578af320e1282b",)"
            R"("started":1765000000123})");
  EXPECT_EQ(BridgeIdentity("", account, 0).to_json()["dir"], "");
  EXPECT_TRUE(BridgeIdentity("", account, UINT64_MAX).to_json()["started"].is_number_unsigned());
}

TEST(BuildIdentity, FixesClientAccountAndIdentityTogether) {
  BridgeState state;
  state.profile_dir = "/srv/agent/profile";
  state.params.cwd = "/work/dir";
  state.params.started = 42;
  build_identity(state, "Agent");
  EXPECT_EQ(state.client, "Agent");
  EXPECT_EQ(state.account, R"(["/srv/agent/profile","Agent"])");
  EXPECT_EQ(write_json(state.identity),
            R"({"build":"20261106100303","dir":"/work/dir","id":"9c578af320e1282b","started":42})");

  build_identity(state, "");
  EXPECT_EQ(state.client, "");
  EXPECT_EQ(state.account, R"(["/srv/agent/profile",""])");
  EXPECT_EQ(state.identity["id"], identity_id(*state.account));
}

}  // namespace
}  // namespace vorn
