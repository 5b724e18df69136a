// BridgeEvent: the one message type of the relay loop's channel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "bridge/channel.h"
#include "frame/error.h"
#include "frame/json.h"

namespace vorn {

// One line of agent input (newline and one carriage return before it
// removed, valid UTF-8), or the error that ended the input.
struct AgentLine {
  Result<std::string> line;
};
// The agent's input has ended.
struct StdinClosed {};
// One decoded frame from the connection of `generation`.
struct BrowserFrame {
  std::uint64_t generation = 0;
  Json value;
};
// The connection of `generation` has ended; no error for a clean end.
struct ConnectionClosed {
  std::uint64_t generation = 0;
  std::optional<Error> error;
};

using BridgeEvent = std::variant<AgentLine, StdinClosed, BrowserFrame, ConnectionClosed>;
using EventSender = Sender<BridgeEvent>;
using EventReceiver = Receiver<BridgeEvent>;

}  // namespace vorn
