// Stays silent for SLEEP_MS milliseconds (default 0), then exits with CODE, or, when CODE is
// written as -N, dies of signal N.
//
//   exit_with CODE [SLEEP_MS]
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int code = std::atoi(argv[1]);
  if (argc > 2) usleep(static_cast<useconds_t>(std::atoi(argv[2])) * 1000);
  if (code >= 0) return code;
  signal(-code, SIG_DFL);
  raise(-code);
  return 2;
}
