#include "bridge/proof.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace vorn {
namespace {

std::string bytes_of(std::uint8_t value, std::size_t count) {
  return std::string(count, static_cast<char>(value));
}

const std::string kToken(64, 'c');
const std::string kChallenge =
    "00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0";

// RFC 4231 test cases; the message is split between label and challenge to
// show that the two are absorbed back to back with nothing between them.
TEST(ProofMac, MatchesRfc4231Vectors) {
  struct Vector {
    std::string key, label, challenge, mac;
  };
  const std::string long_key = bytes_of(0xaa, 131);
  const std::vector<Vector> vectors = {
      {bytes_of(0x0b, 20), "Hi ", "There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want ", "for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {bytes_of(0xaa, 20), bytes_of(0xdd, 10), bytes_of(0xdd, 40),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {long_key, "", "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {long_key, "This is a test using a larger than block-size key and a larger t",
       "han block-size data. The key needs to be hashed before being used by the HMAC "
       "algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(compute_proof(v.key, v.label, v.challenge), v.mac) << v.label;
    EXPECT_TRUE(verify_proof(v.key, v.label, v.challenge, v.mac)) << v.label;
  }
}

TEST(Hex, WritesLowercasePairsHighDigitFirst) {
  const std::vector<std::uint8_t> bytes = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(to_hex(bytes), "000fa0ff");
  EXPECT_EQ(to_hex(std::span<const std::uint8_t>{}), "");
  std::string text = "x";
  append_hex(text, bytes);
  EXPECT_EQ(text, "x000fa0ff");
}

TEST(HexPair, AcceptsBothCasesAndThePlusForm) {
  EXPECT_EQ(hex_pair('a', 'F'), 0xaf);
  EXPECT_EQ(hex_pair('0', '9'), 0x09);
  EXPECT_EQ(hex_pair('+', 'c'), 0x0c);
  EXPECT_EQ(hex_pair('+', '+'), std::nullopt);
  EXPECT_EQ(hex_pair('-', '1'), std::nullopt);
  EXPECT_EQ(hex_pair(' ', '1'), std::nullopt);
  EXPECT_EQ(hex_pair('1', '+'), std::nullopt);
  EXPECT_EQ(hex_pair('g', '0'), std::nullopt);
  EXPECT_EQ(decode_proof("0a+bFF"), (std::vector<std::uint8_t>{0x0a, 0x0b, 0xff}));
  EXPECT_EQ(decode_proof("abc"), std::nullopt);
}

TEST(Challenge, IsFreshLowercaseHexOf32Bytes) {
  std::set<std::string> seen;
  for (int i = 0; i < 16; ++i) {
    Result<std::string> challenge = new_challenge();
    ASSERT_TRUE(challenge.has_value()) << challenge.error().text();
    EXPECT_TRUE(is_lower_hex64(*challenge)) << *challenge;
    seen.insert(*challenge);
  }
  EXPECT_EQ(seen.size(), 16u);
}

TEST(VerifyProof, LabelsSeparateTheTwoSides) {
  const std::string browser_side = compute_proof(kToken, kVornLabel, kChallenge);
  const std::string bridge_side = compute_proof(kToken, kAgentLabel, kChallenge);
  EXPECT_NE(browser_side, bridge_side);
  EXPECT_TRUE(verify_proof(kToken, kVornLabel, kChallenge, browser_side));
  EXPECT_FALSE(verify_proof(kToken, kVornLabel, kChallenge, bridge_side));
  // Another token or challenge gives another proof.
  EXPECT_FALSE(verify_proof(std::string(64, 'd'), kVornLabel, kChallenge, browser_side));
  EXPECT_FALSE(verify_proof(kToken, kVornLabel, std::string(64, '0'), browser_side));
}

TEST(VerifyProof, AcceptsUppercaseAndPlusWrittenPairs) {
  const std::string proof = compute_proof(kToken, kVornLabel, kChallenge);
  std::string upper = proof;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(verify_proof(kToken, kVornLabel, kChallenge, upper));

  // Find pairs whose first digit is 0, or forge one: try many challenges.
  int plus_checked = 0;
  for (int i = 0; i < 64 && plus_checked < 3; ++i) {
    std::string challenge = kChallenge;
    challenge[0] = "0123456789abcdef"[i % 16];
    challenge[1] = "0123456789abcdef"[i / 16];
    std::string good = compute_proof(kToken, kVornLabel, challenge);
    for (std::size_t p = 0; p < good.size(); p += 2) {
      if (good[p] != '0') continue;
      std::string plus = good;
      plus[p] = '+';
      EXPECT_TRUE(verify_proof(kToken, kVornLabel, challenge, plus)) << plus;
      std::string minus = good;
      minus[p] = '-';
      EXPECT_FALSE(verify_proof(kToken, kVornLabel, challenge, minus)) << minus;
      ++plus_checked;
      break;
    }
  }
  EXPECT_GT(plus_checked, 0);
}

TEST(VerifyProof, RejectsMalformedAndWrongText) {
  const std::string proof = compute_proof(kToken, kVornLabel, kChallenge);
  const auto rejects = [&](const std::string& text) {
    return !verify_proof(kToken, kVornLabel, kChallenge, text);
  };
  EXPECT_TRUE(rejects(""));
  EXPECT_TRUE(rejects(proof.substr(0, 63)));
  EXPECT_TRUE(rejects(proof + "00"));
  EXPECT_TRUE(rejects(proof.substr(0, 62)));
  std::string with_g = proof;
  with_g[10] = 'g';
  EXPECT_TRUE(rejects(with_g));
  // A non-ASCII byte in an otherwise well-sized text.
  std::string non_ascii = proof;
  non_ascii[20] = static_cast<char>(0xc3);
  EXPECT_TRUE(rejects(non_ascii));
  for (std::size_t i : {0u, 31u, 63u}) {
    std::string changed = proof;
    changed[i] = changed[i] == '0' ? '1' : '0';
    EXPECT_TRUE(rejects(changed)) << i;
  }
}

}  // namespace
}  // namespace vorn
