/* Helpers shared by the fake platform libraries that the probe tests load in
 * place of the real ones. Everything a fake answers is chosen by the test
 * through environment variables or a small file, and every call that matters
 * is appended to the file named by FAKE_CALL_LOG, one line per call. */
#ifndef VORN_FAKE_COMMON_H
#define VORN_FAKE_COMMON_H

#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The exit status of a probe whose fake could not log a call (a full disk,
 * say): a test must not read a short log as calls never made. The test
 * harness knows this number. */
#define FAKE_LOG_FAILED 97

static void fake_log(const char* format, ...) __attribute__((format(printf, 1, 2), unused));

static void fake_log(const char* format, ...) {
  const char* path = getenv("FAKE_CALL_LOG");
  if (path == NULL || path[0] == '\0') return;
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if ((size_t)n >= sizeof line) n = (int)sizeof line - 1;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  ssize_t written = fd < 0 ? -1 : write(fd, line, (size_t)n);
  if ((fd >= 0 && close(fd) != 0) || written != n) _exit(FAKE_LOG_FAILED);
}

/* A number from the environment (any base strtoll accepts), or `fallback`. */
__attribute__((unused)) static long long fake_env_int(const char* name, long long fallback) {
  const char* value = getenv(name);
  if (value == NULL || value[0] == '\0') return fallback;
  return strtoll(value, NULL, 0);
}

/* Where descriptors 0 to 9 lead, so tests can see what the probe did to its
 * standard error and the descriptors it inherited. */
__attribute__((unused)) static void fake_log_descriptors(void) {
  if (fake_env_int("FAKE_LOG_FDS", 0) == 0) return;
  for (int fd = 0; fd < 10; ++fd) {
    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) continue;
    target[n] = '\0';
    fake_log("fd %d %s\n", fd, target);
  }
}

#endif
