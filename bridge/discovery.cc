#include "bridge/discovery.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn {
namespace {

using std::filesystem::path;

std::optional<std::string> env_bytes(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool names_directory(const path& candidate) {
  struct stat status {};
  return ::stat(candidate.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::optional<std::string> current_dir() {
  std::unique_ptr<char, decltype(&::free)> cwd(::getcwd(nullptr, 0), &::free);
  if (cwd == nullptr) return std::nullopt;
  return std::string(cwd.get());
}

std::optional<std::string> real_path(const std::string& candidate) {
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(candidate.c_str(), nullptr),
                                                    &::free);
  if (resolved == nullptr) return std::nullopt;
  return std::string(resolved.get());
}

// The path made absolute without touching the file system beyond reading
// the current directory: "." and repeated "/" dropped, ".." kept, a leading
// "//" (exactly two) and a trailing "/" kept.
std::string absolute(const std::string& text) {
  if (text.empty()) return text;
  std::string out;
  if (text[0] == '/') {
    out = text.starts_with("//") && !text.starts_with("///") ? "//" : "/";
  } else {
    std::optional<std::string> cwd = current_dir();
    if (!cwd) return text;
    out = std::move(*cwd);
  }
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t next = text.find('/', pos);
    if (next == std::string::npos) next = text.size();
    std::string_view component(text.data() + pos, next - pos);
    if (!component.empty() && component != ".") {
      if (!out.empty() && out.back() != '/') out += '/';
      out += component;
    }
    pos = next + 1;
  }
  if (text.back() == '/' && out.back() != '/') out += '/';
  return out;
}

// Splits off the final name; false for "/", "", or a path ending in "..".
bool split_final_name(const std::string& text, std::string& parent, std::string& name) {
  std::string trimmed = text;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed.empty() || trimmed == "/") return false;
  const std::size_t slash = trimmed.rfind('/');
  name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  if (name == ".." || name.empty()) return false;
  if (slash == std::string::npos) {
    parent.clear();
  } else {
    parent = trimmed.substr(0, slash);
    if (parent.empty()) parent = "/";
  }
  return true;
}

}  // namespace

path join_path(const path& base, const path& name) {
  std::string joined = base.native();
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name.native();
  return path(std::move(joined));
}

std::optional<path> config_base_dir() {
  const std::optional<std::string> home = env_bytes("HOME");
  if (home) {
    path dot_vorn = join_path(*home, ".vorn");
    if (names_directory(dot_vorn)) return dot_vorn;
  }
  const std::optional<std::string> xdg = env_bytes("XDG_CONFIG_HOME");
  if (xdg && xdg->starts_with('/')) return join_path(*xdg, "vorn");
  if (home) return join_path(join_path(*home, ".config"), "vorn");
  return std::nullopt;
}

std::optional<path> default_profile_dir() {
  if (!exe_dir()) return std::nullopt;
  std::optional<path> base = config_base_dir();
  if (!base) return std::nullopt;
  return join_path(*base, "Data");
}

path weakly_canonical(const path& input) {
  const std::string absolute_text = absolute(input.native());
  std::string candidate = absolute_text;
  std::vector<std::string> removed;  // final names, last one first
  for (;;) {
    if (std::optional<std::string> resolved = real_path(candidate)) {
      std::string out = std::move(*resolved);
      for (auto name = removed.rbegin(); name != removed.rend(); ++name) {
        out = join_path(out, *name).native();
      }
      return path(std::move(out));
    }
    std::string parent, name;
    if (!split_final_name(candidate, parent, name)) return path(absolute_text);
    removed.push_back(std::move(name));
    candidate = std::move(parent);
  }
}

Result<path> current_exe_path() {
  std::string link(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", link.data(), link.size());
    if (n < 0) {
      const int saved = errno;
      if (saved == ENOENT) {
        return fail(ErrorKind::kNotFound, "no /proc/self/exe available. Is /proc mounted?");
      }
      return fail_errno(saved);
    }
    if (static_cast<std::size_t>(n) < link.size()) {
      link.resize(static_cast<std::size_t>(n));
      break;
    }
    link.resize(link.size() * 2);  // possibly cut short: try a larger buffer
  }
  if (std::optional<std::string> resolved = real_path(link)) return path(std::move(*resolved));
  return path(std::move(link));
}

Result<path> exe_dir() {
  path exe = TRY(current_exe_path());
  std::string parent, name;
  if (!split_final_name(exe.native(), parent, name) || parent.empty()) {
    return fail(ErrorKind::kOther, "vorn-mcp has no directory");
  }
  return path(std::move(parent));
}

}  // namespace vorn
