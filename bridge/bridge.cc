#include "bridge/bridge.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "bridge/dispatch.h"
#include "bridge/identity.h"
#include "bridge/offline.h"
#include "bridge/stdin.h"

namespace vorn {
namespace {

using std::chrono::steady_clock;

constexpr auto kIdleWait = std::chrono::seconds(1);
constexpr auto kLaunchPoll = std::chrono::milliseconds(250);

std::unexpected<HandshakeError> run_error(Error error) {
  return std::unexpected(HandshakeError::Io(std::move(error)));
}

// Lets the browser see the end of the agent's input; answers still come.
void shut_sending_side(BridgeState& state) {
  if (state.connection) (void)::shutdown(state.connection->socket.get(), SHUT_WR);
}

Resume session_record(const BridgeState& state) {
  Resume record;
  record.initialize = state.initialize;
  record.initialized = state.initialized;
  record.account = state.account;
  record.started = state.params.started;
  record.tools = state.tools;
  record.listed_without_vorn = state.listed_without_vorn;
  record.modern = state.modern;
  record.client = state.client;
  record.subscriptions = state.subscriptions;
  record.workspace = state.workspace;
  return record;
}

Status handle_mcp_frame(BridgeState& state, Json& message) {
  const Json* method = find_member(&message, "method");
  if (method && method->is_string() && method->get_ref<const std::string&>() == kToolsListChanged) {
    return announce_tools_changed(state);
  }
  const Json* id = find_member(&message, "id");
  if (!method && id) {
    auto& pending = state.connection->pending;
    auto it = pending.find(write_json(*id));
    if (it != pending.end()) {
      PendingCall call = std::move(it->second);
      pending.erase(it);
      // The browser's answer to the initialize replayed at connect: the
      // agent already has one.
      if (!call.method) return {};
      if (*call.method == "tools/list") {
        if (const Json* result = find_member(&message, "result")) state.tools = *result;
      }
    }
  }
  return write_agent_line(state, message);
}

void handle_control(BridgeState& state, const Json& control) {
  if (const Json* paired = find_member(&control, "paired")) {
    Result<Credentials> credentials = decode_credentials(*paired);
    if (!credentials) {
      report("Vorn sent a malformed pairing frame");
      return;
    }
    Status saved = state.secret_store->save(state.account.value_or(""), *credentials);
    if (!saved) report("could not store the pairing secret: " + saved.error().text());
    state.credentials = std::move(*credentials);
    return;
  }
  if (const Json* workspace = find_member(&control, "workspace")) {
    if (workspace->is_string()) {
      state.workspace = workspace->get<std::string>();
    } else {
      state.workspace.reset();
    }
  }
}

Status handle_browser_frame(BridgeState& state, Json& value) {
  if (value.is_object()) {
    auto it = value.find("mcp");
    if (it != value.end()) return handle_mcp_frame(state, *it);
    if (const Json* control = find_member(&value, "ctl")) handle_control(state, *control);
  }
  return {};
}

// The self-update test of an idle turn. A waiting event stops the hand-over
// and is kept in `held` for the next pass.
void try_update(BridgeState& state, EventReceiver& events, std::optional<BridgeEvent>& held) {
  if (state.launch_queue || !state.exe_snapshot) return;
  if (state.connection && !state.connection->pending.empty()) return;
  ExeSnapshot& snapshot = *state.exe_snapshot;
  StdinShared& shared = *snapshot.stdin_share;
  // Held through the exec: the reader cannot take input the successor must see.
  std::lock_guard lock(shared.mutex);
  if (shared.pending_lines != 0 || !shared.buffer.empty() || shared.closed) return;
  if (!update_available(snapshot, BUILD_STAMP)) return;
  if (std::optional<BridgeEvent> event = events.try_recv()) {
    held = std::move(event);
    snapshot.status.reset();
    return;
  }
  const Error error = exec_update(snapshot, session_record(state));
  report("could not execute the updated vorn-mcp: " + error.text());
}

// Idle watch for a new browser instance while unconnected.
Status watch_port_file(BridgeState& state) {
  if (state.connection || !(state.initialize || state.modern)) return {};
  std::optional<PortFile> port = read_port_file(state.profile_dir);
  if (!port || state.last_port_token == port->token) return {};
  state.last_port_token = port->token;
  return announce_tools_changed(state);
}

// Hands queued requests to the browser once it shows a new token or the
// wait is over. True when it drained.
Result<bool> drain_launch_queue(BridgeState& state) {
  const LaunchQueue& queue = *state.launch_queue;
  std::optional<PortFile> port = read_port_file(state.profile_dir);
  const bool new_token = port && (!queue.token || *queue.token != port->token);
  if (!new_token && steady_clock::now() < queue.deadline) return false;
  LaunchQueue taken = std::move(*state.launch_queue);
  state.launch_queue.reset();
  for (QueuedRequest& entry : taken.entries) {
    TRY(forward_request(state, entry.meta, std::move(entry.id), entry.frame));
  }
  return true;
}

}  // namespace

BridgeResult relay_loop(BridgeState& state, EventReceiver& events) {
  bool stdin_closed = false;
  std::optional<BridgeEvent> held;
  for (;;) {
    if (state.launch_queue) {
      Result<bool> drained = drain_launch_queue(state);
      if (!drained) return run_error(std::move(drained.error()));
      if (*drained && stdin_closed) {
        if (!state.connection) return {};
        shut_sending_side(state);
      }
    }

    std::optional<BridgeEvent> event;
    if (held) {
      event = std::exchange(held, std::nullopt);
    } else {
      const auto wait = state.launch_queue ? steady_clock::duration(kLaunchPoll)
                                           : steady_clock::duration(kIdleWait);
      switch (events.recv_for(wait, event)) {
        case RecvStatus::kDisconnected:
          return std::unexpected(HandshakeError::Protocol("the agent's reader vanished"));
        case RecvStatus::kTimeout:
          state.launcher->reap_ended();
          if (!stdin_closed) {
            try_update(state, events, held);
            if (Status watched = watch_port_file(state); !watched) {
              return run_error(std::move(watched.error()));
            }
          }
          continue;
        case RecvStatus::kValue:
          break;
      }
    }

    if (auto* line = std::get_if<AgentLine>(&*event)) {
      if (!line->line) {
        (void)fail_pending(state);
        return run_error(std::move(line->line.error()));
      }
      if (state.exe_snapshot) {
        StdinShared& shared = *state.exe_snapshot->stdin_share;
        std::lock_guard lock(shared.mutex);
        if (shared.pending_lines > 0) --shared.pending_lines;
      }
      if (Status handled = handle_agent_line(state, *line->line); !handled) {
        return run_error(std::move(handled.error()));
      }
    } else if (std::holds_alternative<StdinClosed>(*event)) {
      stdin_closed = true;
      // Queued requests are still drained first; the drain then ends the run.
      if (state.launch_queue) continue;
      if (!state.connection) return {};
      shut_sending_side(state);
    } else if (auto* frame = std::get_if<BrowserFrame>(&*event)) {
      if (!state.connection || state.connection->generation != frame->generation) continue;
      if (Status handled = handle_browser_frame(state, frame->value); !handled) {
        return run_error(std::move(handled.error()));
      }
    } else if (auto* closed = std::get_if<ConnectionClosed>(&*event)) {
      if (state.connection && state.connection->generation == closed->generation) {
        if (!stdin_closed) {
          report(closed->error ? "lost Vorn's connection: " + closed->error->text()
                               : std::string("Vorn closed the connection"));
        }
        if (Status failed = fail_pending(state); !failed) {
          return run_error(std::move(failed.error()));
        }
      }
      // A queue still waiting for the browser keeps the run alive until drained.
      if (stdin_closed && !state.connection && !state.launch_queue) return {};
    }
  }
}

BridgeResult run_bridge(const std::filesystem::path& profile_dir,
                        std::shared_ptr<SecretStore> store) {
  std::optional<Resume> resume = take_resume();
  SessionParams params = session_params();
  if (resume) params.started = resume->started;

  auto [sender, receiver] = make_channel<BridgeEvent>();
  auto shared = std::make_shared<StdinShared>();
  try {
    std::thread(stdin_reader_thread, 0, shared, sender).detach();
  } catch (const std::system_error&) {
    std::fputs("failed to spawn thread\n", stderr);
    std::abort();
  }

  BridgeState state;
  state.events = std::move(sender);
  state.exe_snapshot = snapshot_exe(std::move(shared));
  state.profile_dir = profile_dir;
  state.params = params;
  state.secret_store = std::move(store);
  state.launcher = std::make_shared<BrowserLauncher>();

  if (resume && (resume->initialize || resume->modern)) {
    std::string name = resume->client ? *resume->client
                                      : client_name(resume->initialize.value_or(Json()));
    build_identity(state, std::move(name));
    state.workspace = std::move(resume->workspace);
    state.initialize = std::move(resume->initialize);
    state.initialized = resume->initialized;
    state.modern = resume->modern;
    state.subscriptions = std::move(resume->subscriptions);
    state.tools = std::move(resume->tools);
    state.listed_without_vorn = resume->listed_without_vorn;
    // The browser sees the session again without waiting for the agent.
    if (Result<bool> connected = connect_browser(state); !connected) {
      return run_error(std::move(connected.error()));
    }
  }
  return relay_loop(state, receiver);
}

}  // namespace vorn
