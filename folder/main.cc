// vorn-folder: the folder service the browser starts with a request directory.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "folder/serve.h"

namespace {

// Runs before main: a write to a closed pipe must fail rather than kill the
// process, and a closed standard descriptor must not be taken by a file the
// service opens later (an answer would then land in that file).
__attribute__((constructor)) void prepare_process() {
  signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int opened = open("/dev/null", O_RDWR);
    if (opened == -1) abort();
    if (opened != fd) {
      // Lower descriptors are open by now, so this cannot happen; stay safe.
      if (dup2(opened, fd) == -1) abort();
      close(opened);
    }
  }
}

int usage() {
  std::fputs("usage: vorn-folder <request directory> | --version\n", stderr);
  return vorn::folder::EXIT_BAD_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() != 1) return usage();
  if (args[0] == "--version") {
    std::printf("vorn-folder %.*s\n", static_cast<int>(vorn::folder::BUILD_STAMP.size()),
                vorn::folder::BUILD_STAMP.data());
    return 0;
  }
  if (args[0].empty() || args[0][0] != '/') return usage();
  return vorn::folder::serve(std::move(args[0]));
}
