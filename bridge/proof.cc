#include "bridge/proof.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "frame/unique_fd.h"

namespace vorn {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::optional<std::uint8_t> hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

Status fill_from_urandom(std::span<std::uint8_t> out) {
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd) return fail_errno(errno);
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd.get(), out.data() + done, out.size() - done);
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return fail(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  out.reserve(out.size() + bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kHexDigits[b >> 4]);
    out.push_back(kHexDigits[b & 0x0f]);
  }
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

std::string to_hex(std::string_view bytes) {
  return to_hex(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

Status fill_random(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      // Old kernels and some sandboxes refuse the call; the device still works.
      if (saved == ENOSYS || saved == EPERM) return fill_from_urandom(out.subspan(done));
      return fail_errno(saved);
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

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
