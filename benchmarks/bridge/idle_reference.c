/* The floor for a program that must wake once a second: sleeps in poll for
 * one second at a time and stats one file per turn, as an idle vorn-mcp does.
 * The idle benchmark measures it exactly as it measures vorn-mcp. */
#include <poll.h>
#include <sys/stat.h>

int main(int argc, char** argv) {
  (void)argc;
  for (;;) {
    struct stat st;
    poll(0, 0, 1000);
    stat(argv[0], &st);
  }
}
