// Runs part of a test in a child process and tells whether it finished
// in time, for code whose fault would be to block for ever.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace vorn::testing {

// True when `body` returned within `bound`. A child still running then is
// killed and reaped, so no process outlives the test.
inline bool finishes_in_child(const std::function<void()>& body,
                              std::chrono::milliseconds bound) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // A failure thrown in the child must not run on into the test runner.
    try {
      body();
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  return false;
}

}  // namespace vorn::testing
