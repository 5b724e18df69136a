// vorn-mcp: the agent bridge. The whole program lives in the bridge library;
// this file only hands it the command line.
#include <cstdio>
#include <cstdlib>

int main() {
  std::fputs("vorn-mcp: not ready\n", stderr);
  return EXIT_FAILURE;
}
