#include <cstdio>

int main() {
  std::puts("usage: ipc_run [OPTIONS] [--] COMMAND [ARG...]");
  return 0;
}
