// vorn-folder: the folder service the browser starts with a request directory.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "folder/serve.h"
#include "frame/file.h"

namespace {

// Runs before main: a write to a closed pipe must fail rather than kill the
// process, and a closed standard descriptor must not be taken by a file the
// service opens later (an answer would then land in that file).
__attribute__((constructor)) void prepare_process() {
  signal(SIGPIPE, SIG_IGN);
  if (!vorn::open_missing_standard_streams()) abort();
}

// Payloads and listing copies are read whole into buffers of up to 32 MiB,
// request after request. Fresh pages cost a fault each, which dominated bulk
// copies; keeping freed memory for reuse (never more than the peak a single
// request needed, and returned past 128 MiB) avoids that.
void keep_buffers_warm() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
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
  keep_buffers_warm();
  return vorn::folder::serve(std::move(args[0]));
}
