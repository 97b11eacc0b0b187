// Runs one child through the installed library and reports what it relayed.
#include <ipc/host/host.h>
#include <ipc/ipc_backend.h>
#include <ipc/ipc_command.h>

#include <cstdio>
#include <string>

namespace {
class COUNTING_COMMAND : public IPC_COMMAND {
 public:
  void process_line(const std::string& line) override {
    if (line == "hello") ++greetings;
  }
  int greetings = 0;
};
}  // namespace

int main(int, char** argv) {
  host_start(argv[0]);
  COUNTING_COMMAND command;
  THR_PROCESS_EXIT_CODE code{-1, -1};
  // The backend helpers are installed too: the line they build must reach the child verbatim.
  const std::string line = "echo " + ipc_backend::tcl_word("hello");
  const bool ok = command.run(line, "", false, &code, "", false);
  host_stop();
  std::printf("ok=%d exit_code=%d greetings=%d\n", ok ? 1 : 0, code.exit_code, command.greetings);
  return ok && code.exit_code == 0 && command.greetings == 1 ? 0 : 1;
}
