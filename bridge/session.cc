#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <limits>
#include <string>

#include "bridge/bridge.h"

namespace vorn {

std::uint64_t epoch_millis(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < 0) return 0;
  const auto secs = static_cast<std::uint64_t>(seconds);
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  if (secs > kMax / 1000) return kMax;
  const std::uint64_t base = secs * 1000;
  const auto extra = static_cast<std::uint64_t>(nanoseconds / 1000000);
  if (base > kMax - extra) return kMax;
  return base + extra;
}

SessionParams session_params() {
  SessionParams params;
  // getcwd with a growing buffer: a deep working directory is no error.
  std::string cwd(PATH_MAX, '\0');
  for (;;) {
    if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
      cwd.resize(cwd.find('\0'));
      params.cwd = cwd;
      break;
    }
    if (errno != ERANGE || cwd.size() > (1u << 24)) break;
    cwd.resize(cwd.size() * 2);
  }
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) == 0) {
    params.started = epoch_millis(now.tv_sec, now.tv_nsec);
  }
  return params;
}

}  // namespace vorn
