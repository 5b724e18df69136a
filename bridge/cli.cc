#include "bridge/cli.h"

#include "bridge/identity.h"
#include "bridge/stdin.h"

namespace vorn {

CommandLine parse_command_line(std::span<const std::string_view> args) {
  CommandLine line;
  auto usage_error = [&line](std::string message) {
    line.mode = CommandLine::Mode::kUsageError;
    line.error = std::move(message);
    line.profile.reset();
    return line;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!utf8_error(arg).empty()) return usage_error("unknown argument " + lossy_utf8(arg));
    if (arg == "--version") {
      line.mode = CommandLine::Mode::kVersion;
      return line;
    }
    if (arg == "-h" || arg == "--help") {
      line.mode = CommandLine::Mode::kHelp;
      return line;
    }
    if (arg == "--profile") {
      // The directory is taken as raw bytes: it need not be UTF-8.
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        return usage_error("--profile needs a directory");
      }
      line.profile = std::string(args[++i]);
      continue;
    }
    return usage_error("unknown argument " + std::string(arg));
  }
  return line;
}

}  // namespace vorn
