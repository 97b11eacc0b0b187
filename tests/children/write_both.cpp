// Writes one line to standard output, then one to standard error.
#include <cstdio>

int main() {
  std::fputs("to stdout\n", stdout);
  std::fflush(stdout);
  std::fputs("to stderr\n", stderr);
  return 0;
}
