// Scratch files for the tests: a fresh directory under the system's
// temporary directory, removed with everything in it when the test ends, and
// a file writer that reports a short or failed write (a full disk) at once,
// so a test fails there and names the cause instead of running on with an
// empty file.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace vorn::testing {

// Thrown by the helpers below; GoogleTest reports its text as the test's
// failure.
inline std::runtime_error scratch_failure(const std::string& what, int error) {
  return std::runtime_error(what + ": " + ::strerror(error) +
                            (error == ENOSPC || error == EDQUOT
                                 ? " (the file system holding the test's files is full)"
                                 : ""));
}

class TempDir {
 public:
  TempDir() {
    const std::filesystem::path parent = std::filesystem::temp_directory_path();
    std::string pattern = (parent / "vorn-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw scratch_failure("cannot make a directory in " + parent.string(), errno);
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Creates or truncates `path` and writes all of `content`, then closes it;
// throws when any step fails. The file is closed on return, so a script
// written here can be run at once.
inline void write_file(const std::filesystem::path& path, std::string_view content,
                       mode_t mode = 0644) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw scratch_failure("cannot create " + path.string(), errno);
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      throw scratch_failure("cannot write " + path.string(), error);
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) throw scratch_failure("cannot write " + path.string(), errno);
}

}  // namespace vorn::testing
