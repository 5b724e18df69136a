// Pairing proof: challenges and HMAC-SHA256 proofs.
//
// The bridge and the browser prove to each other that both hold the token of
// port.json without sending it: each answers the other's random challenge
// with HMAC-SHA256(key = token bytes, message = label + challenge text). The
// label names the side that made the proof, so a proof can never be echoed
// back to its maker.
//
// Thread-safe: pure functions apart from the random source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/error.h"
#include "frame/hex.h"
#include "frame/random.h"

namespace vorn {

// Label of the browser's proof over the bridge's challenge.
inline constexpr std::string_view kVornLabel = "vorn:";
// Label of the bridge's proof over the browser's challenge.
inline constexpr std::string_view kAgentLabel = "agent:";

inline constexpr std::size_t kProofBytes = 32;
inline constexpr std::size_t kChallengeBytes = 32;

// 32 fresh random bytes as 64 lowercase hex characters.
[[nodiscard]] Result<std::string> new_challenge();

// True when `text` is exactly 64 characters of "0"-"9" and "a"-"f".
bool is_lower_hex64(std::string_view text);

// An HMAC-SHA256 that has absorbed the key and the label + challenge message
// and waits to be finished.
class ProofMac {
 public:
  ProofMac(std::string_view key, std::string_view label, std::string_view challenge);
  ProofMac(const ProofMac&) = delete;
  ProofMac& operator=(const ProofMac&) = delete;
  ~ProofMac();

  // The 32-byte MAC; call once.
  std::array<std::uint8_t, kProofBytes> finish();

 private:
  void* ctx_;  // HMAC state of the crypto library
};

ProofMac proof_mac(std::string_view key, std::string_view label, std::string_view challenge);

// The proof as 64 lowercase hex characters.
std::string compute_proof(std::string_view key, std::string_view label,
                          std::string_view challenge);

// Accepts the proof text when it decodes to exactly the expected 32 bytes.
// Malformed text is rejected like a wrong proof; the comparison itself takes
// the same time wherever the first difference lies.
bool verify_proof(std::string_view key, std::string_view label, std::string_view challenge,
                  std::string_view proof_text);

// Reads the text pair by pair with hex_pair; none at the first bad pair or
// an odd length.
std::optional<std::vector<std::uint8_t>> decode_proof(std::string_view text);

// One byte from two characters: two hex digits of either case, or a plus
// sign followed by one digit (read as if the plus were a leading 0).
std::optional<std::uint8_t> hex_pair(char first, char second);

}  // namespace vorn
