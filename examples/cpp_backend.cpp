// An example backend in C++: posts its messages with the quoting helpers of ipc/ipc_backend.h.
//
//   build/bin/ipc_run -- build/examples/cpp_backend 3
#include <cstdlib>
#include <string>

#include "backend/ipc_backend.h"

int main(int argc, char** argv) {
  const int steps = argc > 1 ? std::atoi(argv[1]) : 3;
  ipc_backend::emit(ipc_backend::debug_line("cpp_backend: " + std::to_string(steps) + " steps"));
  for (int step = 1; step <= steps; ++step)
    ipc_backend::emit(ipc_backend::post_line(
        "info", 2001, "step " + std::to_string(step) + " of " + std::to_string(steps) + " {done}"));
  if (steps <= 0) {
    ipc_backend::emit(ipc_backend::post_line("error", 2002,
                                             "nothing to do: \"" +
                                                 std::string(argc > 1 ? argv[1] : "") +
                                                 "\" is no positive step count"));
    return 1;
  }
  return 0;
}
