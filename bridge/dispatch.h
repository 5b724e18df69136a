// What happens to each line the agent writes: the lifecycle requests the
// bridge answers itself, the per-request protocol-version rule, the frame
// limit, and everything else forwarded to the browser unchanged.
//
// Runs on the relay loop's thread with the session state.
#pragma once

#include <string_view>

#include "frame/error.h"

namespace vorn {

struct BridgeState;

// Handles one line (no newline). Only a failed write to the agent, or a
// fatal error of what it calls, is returned; the run then ends.
[[nodiscard]] Status handle_agent_line(BridgeState& state, std::string_view text);

}  // namespace vorn
