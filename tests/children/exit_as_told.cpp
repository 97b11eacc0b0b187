// Ends as its arguments say: "code N" exits with N, "signal N" raises signal N (no core file),
// "sleep N" sleeps N seconds first and then exits with 0.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int value = std::atoi(argv[2]);
  if (std::strcmp(argv[1], "code") == 0) return value;
  if (std::strcmp(argv[1], "signal") == 0) {
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(value, SIG_DFL);
    raise(value);
    return 3;
  }
  if (std::strcmp(argv[1], "sleep") == 0) {
    sleep(static_cast<unsigned>(value));
    return 0;
  }
  return 2;
}
