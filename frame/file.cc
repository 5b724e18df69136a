#include "frame/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "frame/unique_fd.h"

namespace vorn {

Result<std::string> read_whole_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail_errno(errno);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return fail(ErrorKind::kWriteZero, "failed to write whole buffer");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Status open_missing_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // Not close-on-exec: a standard descriptor is meant to be inherited.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) return fail_errno(errno);
    if (opened != fd) {
      // Lower descriptors are open by now, so the number is only a fallback.
      UniqueFd extra(opened);
      if (::dup2(opened, fd) < 0) return fail_errno(errno);
    }
  }
  return {};
}

}  // namespace vorn
