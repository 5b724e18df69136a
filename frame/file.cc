#include "frame/file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "frame/unique_fd.h"

namespace vorn {

namespace {

Error too_large(std::size_t limit) {
  return Error::make(ErrorKind::kInvalidData,
                     "the file holds more than " + std::to_string(limit) + " bytes");
}

Error not_regular() { return Error::make(ErrorKind::kInvalidInput, "not a regular file"); }

}  // namespace

Status wait_ready(int fd, short events) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return fail_errno(errno);
  if ((flags & O_NONBLOCK) == 0) return fail_errno(EAGAIN);
  for (;;) {
    pollfd pfd{fd, events, 0};
    const int ready = ::poll(&pfd, 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return fail_errno(errno);
    if ((pfd.revents & POLLNVAL) != 0) return fail_errno(EBADF);
    // Ready, or an error or hang-up that the next call reports itself.
    return {};
  }
}

namespace {

Result<std::string> read_bounded(const std::string& path, std::size_t limit, bool regular_only) {
  if (regular_only) {
    // Opening a FIFO or a device can have effects of its own (a writer
    // waiting for a reader is let go), so one that is plainly there is not
    // even opened. The check on the open descriptor below is the one that
    // counts: the entry may be swapped in between.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) return fail_errno(errno);
    if (!S_ISREG(before.st_mode)) return fail(not_regular());
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail_errno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail_errno(errno);
  if (regular_only && !S_ISREG(st.st_mode)) return fail(not_regular());
  // A regular file says its size; files of /proc and devices say 0 or lie,
  // so the read below is bounded all the same.
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > limit) {
    return fail(too_large(limit));
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    // One byte past the bound tells a file of exactly `limit` bytes from a
    // longer one.
    const std::size_t want = std::min(sizeof buffer, limit + 1 - text.size());
    const ssize_t n = ::read(fd.get(), buffer, want);
    if (n < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      return fail_errno(saved);
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > limit) return fail(too_large(limit));
  }
}

}  // namespace

Result<std::string> read_whole_file(const std::string& path, std::size_t limit) {
  return read_bounded(path, limit, false);
}

Result<std::string> read_regular_file(const std::string& path, std::size_t limit) {
  return read_bounded(path, limit, true);
}

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      const int saved = errno;
      if (saved == EINTR) continue;
      if (saved == EAGAIN) {
        TRY(wait_ready(fd, POLLOUT));
        continue;
      }
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
