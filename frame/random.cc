#include "frame/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "frame/unique_fd.h"

namespace vorn {
namespace {

Status fill_from_urandom(std::span<std::uint8_t> out) {
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd) return fail_errno(errno);
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd.get(), out.data() + done, out.size() - done);
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return fail(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

Status fill_random(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      int saved = errno;
      if (saved == EINTR) continue;
      // Old kernels and some sandboxes refuse the call; the device still works.
      if (saved == ENOSYS || saved == EPERM) return fill_from_urandom(out.subspan(done));
      return fail_errno(saved);
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace vorn
