#include "frame/unique_fd.h"

#include <unistd.h>

#include <cerrno>

namespace vorn {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    // A failed close still releases the descriptor on Linux; retrying could
    // close a number another thread has just been given.
    (void)::close(fd_);
  }
  fd_ = fd;
}

Status UniqueFd::close() {
  int fd = std::exchange(fd_, -1);
  if (fd < 0) return {};
  if (::close(fd) != 0 && errno != EINTR) return fail_errno(errno);
  return {};
}

}  // namespace vorn
