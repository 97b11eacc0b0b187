// Writes COUNT numbered lines ("line 1", ...; 0: without end), each followed by DELAY_US
// microseconds of pause (default none). With --tcl the lines are message commands of the host
// instead ("msg_post 0 info {step N done}"). Unpaused output is written in large blocks.
//
//   write_lines COUNT [DELAY_US] [--tcl]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const long count = std::atol(argv[1]);
  long delay_us = 0;
  bool tcl = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tcl") == 0)
      tcl = true;
    else
      delay_us = std::atol(argv[i]);
  }
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  for (long n = 1; count == 0 || n <= count; ++n) {
    if (tcl)
      std::printf("msg_post 0 info {step %ld done}\n", n);
    else
      std::printf("line %ld\n", n);
    if (delay_us > 0) {
      if (std::fflush(stdout) != 0) return 1;
      usleep(static_cast<useconds_t>(delay_us));
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
