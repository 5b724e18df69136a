// UniqueFd: sole owner of one file descriptor.
//
// Move-only; closes in its destructor. Callers that must know whether a close
// failed (a file they wrote) call close() themselves; the destructor is the
// silent backstop. Every descriptor the programs open is created with
// close-on-exec set, so only the standard streams survive an exec.
#pragma once

#include <utility>

#include "frame/error.h"

namespace vorn {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing; the descriptor becomes the caller's.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes the owned descriptor (ignoring errors) and takes `fd` instead.
  void reset(int fd = -1);
  // Closes and reports the result; the wrapper is empty afterwards.
  [[nodiscard]] Status close();

 private:
  int fd_ = -1;  // -1 when empty
};

}  // namespace vorn
