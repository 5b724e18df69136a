#include "bridge/handshake.h"

namespace vorn {

std::string handshake_error_display(const HandshakeError& error) {
  switch (error.kind) {
    case HandshakeError::Kind::kIo: return "i/o: " + error.io.text();
    case HandshakeError::Kind::kProtocol: return "protocol: " + error.protocol;
    case HandshakeError::Kind::kRefusedOutdated: break;
  }
  return "Vorn refused this vorn-mcp as outdated";
}

}  // namespace vorn
