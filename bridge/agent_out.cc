#include <unistd.h>

#include <cerrno>

#include "bridge/bridge.h"
#include "frame/json.h"

namespace vorn {

Status write_agent_line(AgentOut& out, const nlohmann::json& value) {
  std::string& buffer = out.buffer;
  buffer.clear();
  append_json(buffer, value);
  buffer.push_back('\n');
  // One write for the whole line, so it leaves at once and whole.
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::write(out.fd, buffer.data() + done, buffer.size() - done);
    if (n < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return fail(ErrorKind::kWriteZero, "failed to write whole buffer");
    done += static_cast<std::size_t>(n);
  }
  // Keep a huge answer from pinning memory for the rest of the session.
  if (buffer.capacity() > (1u << 20)) std::string().swap(buffer);
  return {};
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
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(2, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

Status write_agent_line(BridgeState& state, const nlohmann::json& value) {
  return write_agent_line(state.agent_out, value);
}

}  // namespace vorn
