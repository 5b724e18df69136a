// Error: a failure carried back to the caller as a value.
//
// Every fallible function returns Result<T> (std::expected<T, Error>). An
// error is a kind (what a caller does differently), the OS error number when
// a system call failed (0 otherwise), and an optional message. Its text is
// what users see: a system error shows the C library's description followed
// by " (os error N)"; an error the program makes itself shows only its
// message; an error with neither shows the kind's own text.
//
// Thread-safe: plain values, no shared state.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vorn {

enum class ErrorKind {
  kOther,
  kNotFound,
  kPermissionDenied,
  kAlreadyExists,
  kInvalidInput,
  kUnexpectedEof,
  kInvalidData,
  kTimedOut,
  kWriteZero,
  kInterrupted,
  kWouldBlock,
  kBrokenPipe,
};

struct Error {
  ErrorKind kind = ErrorKind::kOther;
  int os_error = 0;     // errno of the failing call; 0 when none failed
  std::string message;  // empty: the text comes from os_error or the kind

  // A failed system call; `saved_errno` must be copied right after the call.
  static Error from_errno(int saved_errno);
  // An error the program makes itself.
  static Error make(ErrorKind kind, std::string message = {});

  // The user-visible text, as described above.
  std::string text() const;
};

// The kind a system error number belongs to.
ErrorKind kind_from_errno(int saved_errno);
// The C library's description of an error number (thread-safe).
std::string errno_description(int saved_errno);
// The text of a kind when the error carries no message of its own.
std::string_view kind_text(ErrorKind kind);

template <typename T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }
inline std::unexpected<Error> fail_errno(int saved_errno) {
  return std::unexpected(Error::from_errno(saved_errno));
}
inline std::unexpected<Error> fail(ErrorKind kind, std::string message = {}) {
  return std::unexpected(Error::make(kind, std::move(message)));
}

}  // namespace vorn

// Propagates an error to the caller; otherwise yields the value.
#define TRY(expr)                                             \
  __extension__({                                             \
    auto&& try_result_ = (expr);                              \
    if (!try_result_) [[unlikely]]                            \
      return std::unexpected(std::move(try_result_).error()); \
    std::move(try_result_).value();                           \
  })

// A state the code itself rules out; never for bad input or a failing system.
#define VORN_CHECK(cond)                                              \
  do {                                                                \
    if (!(cond)) [[unlikely]]                                         \
      ::vorn::check_failed(__FILE__, __LINE__, #cond);                 \
  } while (0)

namespace vorn {
[[noreturn]] void check_failed(const char* file, int line, const char* condition);
}  // namespace vorn
