// Copies standard input to standard output until input ends.
#include <unistd.h>

int main() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return n == 0 ? 0 : 1;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(STDOUT_FILENO, buffer + done, static_cast<size_t>(n - done));
      if (w <= 0) return 1;
      done += w;
    }
  }
}
