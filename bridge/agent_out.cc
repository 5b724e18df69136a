#include "bridge/bridge.h"
#include "frame/file.h"
#include "frame/json.h"

namespace vorn {

Status write_agent_line(AgentOut& out, const nlohmann::json& value) {
  std::string& buffer = out.buffer;
  buffer.clear();
  append_json(buffer, value);
  buffer.push_back('\n');
  // One write for the whole line, so it leaves at once and whole.
  Status written = write_all(out.fd, buffer);
  // Keep a huge answer from pinning memory for the rest of the session.
  if (buffer.capacity() > (1u << 20)) std::string().swap(buffer);
  return written;
}

const Json* find_member(const Json* value, std::string_view key) {
  if (!value || !value->is_object()) return nullptr;
  auto it = value->find(key);
  return it == value->end() ? nullptr : &*it;
}

void report(std::string_view message) {
  std::string line = "vorn-mcp: ";
  line += message;
  line += '\n';
  // Nothing is left to tell when standard error itself fails.
  (void)write_all(2, line);
}

Status write_agent_line(BridgeState& state, const nlohmann::json& value) {
  return write_agent_line(state.agent_out, value);
}

}  // namespace vorn
