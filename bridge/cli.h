// The command line of vorn-mcp.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorn {

inline constexpr std::string_view kUsage =
    "usage: vorn-mcp [--profile <Vorn profile directory>] | --version | --help";
inline constexpr std::string_view kNoHomeMessage =
    "vorn-mcp found no home directory to find Vorn's data in: give --profile";

struct CommandLine {
  enum class Mode { kRun, kHelp, kVersion, kUsageError };
  Mode mode = Mode::kRun;
  std::optional<std::string> profile;  // raw bytes; kRun only
  std::string error;                   // kUsageError only
};

// Reads the arguments after the program name, in order; --version and
// --help end the reading, so what follows them is never looked at.
CommandLine parse_command_line(std::span<const std::string_view> args);

}  // namespace vorn
