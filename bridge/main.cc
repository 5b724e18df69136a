// vorn-mcp: the agent bridge. An agent program starts it and speaks MCP on
// its standard streams; the bridge relays to the Vorn browser.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/cli.h"
#include "bridge/discovery.h"
#include "bridge/identity.h"
#include "bridge/secrets.h"
#include "frame/file.h"

namespace {

void write_text(int fd, std::string_view text) {
  // Help, version and usage lines have nowhere else to go if this fails.
  (void)vorn::write_all(fd, text);
}

}  // namespace

int main(int argc, char** argv) {
  using vorn::CommandLine;
  // Best effort: without /dev/null there is nothing better to put there.
  (void)vorn::open_missing_standard_streams();
  // Writes to a gone agent or browser must fail, not kill the process.
  ::signal(SIGPIPE, SIG_IGN);
  // The bridge needs only SHA-256 and HMAC from the default provider; the
  // system-wide OpenSSL configuration could only change who serves them, and
  // reading it costs start-up time and memory in every agent session.
  (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);

  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const CommandLine line = vorn::parse_command_line(args);
  const std::string usage = std::string(vorn::kUsage) + "\n";

  switch (line.mode) {
    case CommandLine::Mode::kUsageError:
      write_text(2, usage + "vorn-mcp: " + line.error + "\n");
      return 2;
    case CommandLine::Mode::kHelp:
      write_text(1, usage);
      return 0;
    case CommandLine::Mode::kVersion:
      write_text(1, "vorn-mcp " + std::string(vorn::BUILD_STAMP) + "\n");
      return 0;
    case CommandLine::Mode::kRun:
      break;
  }

  std::filesystem::path profile;
  if (line.profile) {
    profile = *line.profile;
  } else if (std::optional<std::filesystem::path> found = vorn::default_profile_dir()) {
    profile = std::move(*found);
  } else {
    write_text(2, usage + std::string(vorn::kNoHomeMessage) + "\n");
    return 2;
  }
  profile = vorn::weakly_canonical(profile);

  const std::filesystem::path agents = vorn::agents_dir(profile);
  vorn::sweep_stale_locks(agents);
  auto store = std::make_shared<vorn::DirSecretStore>(agents);

  vorn::BridgeResult result = vorn::run_bridge(profile, std::move(store));
  if (!result) {
    vorn::report(vorn::handshake_error_display(result.error()));
    return 1;
  }
  return 0;
}
