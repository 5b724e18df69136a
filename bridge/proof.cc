#include "bridge/proof.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cerrno>

namespace vorn {

namespace {

std::optional<std::uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

Result<std::string> new_challenge() {
  std::array<std::uint8_t, kChallengeBytes> bytes{};
  TRY(fill_random(bytes));
  return to_hex(bytes);
}

bool is_lower_hex64(std::string_view text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

namespace {

// Fetched once: the algorithm object is immutable and shared by all threads.
EVP_MAC* hmac_algorithm() {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  VORN_CHECK(mac != nullptr);
  return mac;
}

}  // namespace

ProofMac::ProofMac(std::string_view key, std::string_view label, std::string_view challenge) {
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(hmac_algorithm());
  VORN_CHECK(ctx != nullptr);
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end(),
  };
  VORN_CHECK(EVP_MAC_init(ctx, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                          params) == 1);
  VORN_CHECK(EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(label.data()),
                            label.size()) == 1);
  VORN_CHECK(EVP_MAC_update(ctx, reinterpret_cast<const unsigned char*>(challenge.data()),
                            challenge.size()) == 1);
  ctx_ = ctx;
}

ProofMac::~ProofMac() { EVP_MAC_CTX_free(static_cast<EVP_MAC_CTX*>(ctx_)); }

std::array<std::uint8_t, kProofBytes> ProofMac::finish() {
  std::array<std::uint8_t, kProofBytes> mac{};
  std::size_t length = 0;
  VORN_CHECK(EVP_MAC_final(static_cast<EVP_MAC_CTX*>(ctx_), mac.data(), &length, mac.size()) ==
             1);
  VORN_CHECK(length == kProofBytes);
  return mac;
}

ProofMac proof_mac(std::string_view key, std::string_view label, std::string_view challenge) {
  return ProofMac(key, label, challenge);
}

std::string compute_proof(std::string_view key, std::string_view label,
                          std::string_view challenge) {
  return to_hex(proof_mac(key, label, challenge).finish());
}

std::optional<std::uint8_t> hex_pair(char first, char second) {
  std::optional<std::uint8_t> low = hex_digit(second);
  if (!low) return std::nullopt;
  if (first == '+') return low;
  std::optional<std::uint8_t> high = hex_digit(first);
  if (!high) return std::nullopt;
  return static_cast<std::uint8_t>(*high * 16 + *low);
}

std::optional<std::vector<std::uint8_t>> decode_proof(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    std::optional<std::uint8_t> byte = hex_pair(text[i], text[i + 1]);
    if (!byte) return std::nullopt;
    bytes.push_back(*byte);
  }
  return bytes;
}

bool verify_proof(std::string_view key, std::string_view label, std::string_view challenge,
                  std::string_view proof_text) {
  if (proof_text.size() % 2 != 0) return false;
  for (char c : proof_text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  std::optional<std::vector<std::uint8_t>> given = decode_proof(proof_text);
  if (!given || given->size() != kProofBytes) return false;
  std::array<std::uint8_t, kProofBytes> expected = proof_mac(key, label, challenge).finish();
  return CRYPTO_memcmp(expected.data(), given->data(), kProofBytes) == 0;
}

}  // namespace vorn
