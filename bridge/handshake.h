// The bridge's one error type, and the pairing handshake with the browser.
#pragma once

#include <string>

#include "frame/error.h"

namespace vorn {

// Why a run or a pairing attempt ended.
struct HandshakeError {
  enum class Kind { kIo, kProtocol, kRefusedOutdated };

  Kind kind = Kind::kIo;
  Error io;              // kIo: the I/O error
  std::string protocol;  // kProtocol: what went wrong

  static HandshakeError Io(Error error) { return {Kind::kIo, std::move(error), {}}; }
  static HandshakeError Protocol(std::string text) { return {Kind::kProtocol, {}, std::move(text)}; }
  static HandshakeError RefusedOutdated() { return {Kind::kRefusedOutdated, {}, {}}; }
};

// "i/o: {}", "protocol: {}", or the outdated refusal.
std::string handshake_error_display(const HandshakeError& error);

}  // namespace vorn
