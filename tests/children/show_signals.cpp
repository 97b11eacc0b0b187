// Prints the signal state it started with: the blocked signals, the dispositions of SIGPIPE and
// SIGINT, and whether it leads its own process group.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

const char* disposition(int signal_number) {
  struct sigaction action {};
  sigaction(signal_number, nullptr, &action);
  if (action.sa_handler == SIG_DFL) return "default";
  if (action.sa_handler == SIG_IGN) return "ignored";
  return "handled";
}

}  // namespace

int main() {
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  std::printf("blocked:");
  for (int s = 1; s < NSIG; ++s)
    if (sigismember(&blocked, s) == 1) std::printf(" %d", s);
  std::printf("\nSIGPIPE %s\nSIGINT %s\n", disposition(SIGPIPE), disposition(SIGINT));
  std::printf("group leader %s\n", getpgrp() == getpid() ? "yes" : "no");
  return 0;
}
