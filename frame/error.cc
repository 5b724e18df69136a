#include "frame/error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorn {

ErrorKind kind_from_errno(int saved_errno) {
  switch (saved_errno) {
    case ENOENT: return ErrorKind::kNotFound;
    case EACCES:
    case EPERM: return ErrorKind::kPermissionDenied;
    case EEXIST: return ErrorKind::kAlreadyExists;
    case EINVAL: return ErrorKind::kInvalidInput;
    case ETIMEDOUT: return ErrorKind::kTimedOut;
    case EINTR: return ErrorKind::kInterrupted;
    case EAGAIN: return ErrorKind::kWouldBlock;
    case EPIPE: return ErrorKind::kBrokenPipe;
    default: return ErrorKind::kOther;
  }
}

std::string errno_description(int saved_errno) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* text = strerror_r(saved_errno, buffer, sizeof buffer);
  return text;
}

std::string_view kind_text(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound: return "entity not found";
    case ErrorKind::kPermissionDenied: return "permission denied";
    case ErrorKind::kAlreadyExists: return "entity already exists";
    case ErrorKind::kInvalidInput: return "invalid input parameter";
    case ErrorKind::kUnexpectedEof: return "unexpected end of file";
    case ErrorKind::kInvalidData: return "invalid data";
    case ErrorKind::kTimedOut: return "timed out";
    case ErrorKind::kWriteZero: return "write zero";
    case ErrorKind::kInterrupted: return "operation interrupted";
    case ErrorKind::kWouldBlock: return "operation would block";
    case ErrorKind::kBrokenPipe: return "broken pipe";
    case ErrorKind::kOther: break;
  }
  return "other error";
}

Error Error::from_errno(int saved_errno) {
  return Error{kind_from_errno(saved_errno), saved_errno, {}};
}

Error Error::make(ErrorKind kind, std::string message) {
  return Error{kind, 0, std::move(message)};
}

std::string Error::text() const {
  if (os_error != 0) {
    std::string text = errno_description(os_error);
    text += " (os error ";
    text += std::to_string(os_error);
    text += ')';
    return text;
  }
  if (!message.empty()) return message;
  return std::string(kind_text(kind));
}

void check_failed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace vorn
