// Where things are: the default profile directory, canonical profile paths,
// and the bridge's own program file and directory.
//
// Paths are byte strings; nothing here requires them to be UTF-8.
// Thread-safety: reads the environment and the current directory; call it
// where nothing changes either (start-up, the relay loop's thread).
#pragma once

#include <filesystem>
#include <optional>

#include "frame/error.h"

namespace vorn {

// `base` and `name` with one "/" between them, none added when `base` is
// empty or already ends in "/".
std::filesystem::path join_path(const std::filesystem::path& base,
                                const std::filesystem::path& name);

// $HOME/.vorn when it is a directory, else $XDG_CONFIG_HOME/vorn when that is
// absolute, else $HOME/.config/vorn; none without either variable.
std::optional<std::filesystem::path> config_base_dir();

// config_base_dir()/Data; none when the bridge cannot find its own directory.
std::optional<std::filesystem::path> default_profile_dir();

// The path made absolute and resolved as far as it exists, the missing names
// kept behind the resolved part. Never fails. Call it qualified:
// std::filesystem has a function of the same name and argument.
std::filesystem::path weakly_canonical(const std::filesystem::path& path);

// The running program file, symbolic links resolved when possible.
[[nodiscard]] Result<std::filesystem::path> current_exe_path();
// The directory of current_exe_path().
[[nodiscard]] Result<std::filesystem::path> exe_dir();

}  // namespace vorn
