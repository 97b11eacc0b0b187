// Sleeps until killed, ignoring SIGTERM. Options: --grandchild forks a sleeping grandchild first
// and prints its pid; --close-output closes standard output (and error) before sleeping;
// --pipe_name=PATH opens that named pipe for reading and never reads it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  signal(SIGTERM, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--grandchild") == 0) {
      pid_t grandchild = fork();
      if (grandchild == 0) {
        for (;;) pause();
      }
      std::printf("%d\n", static_cast<int>(grandchild));
      std::fflush(stdout);
    } else if (std::strncmp(argv[i], "--pipe_name=", 12) == 0) {
      if (open(argv[i] + 12, O_RDONLY | O_NONBLOCK) < 0) return 1;
    } else if (std::strcmp(argv[i], "--close-output") == 0) {
      std::fflush(stdout);
      close(STDOUT_FILENO);
      close(STDERR_FILENO);
    }
  }
  for (;;) pause();
}
