// Finds a run's own named pipe by the name its child was given, and writes to it.
#include "package/run_pipe.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include "ipc/ipc_command.h"

namespace {

// The child's arguments as one text; sh -c keeps the pipe's name inside its command text too.
std::string command_line_of(unsigned long pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

bool send_to_run_pipe(unsigned long pid, const std::string& text) {
  if (pid == 0) return false;
  const std::string arguments = command_line_of(pid);
  // The library lists a run's pipe only once connected; the lock keeps it from going meanwhile.
  std::lock_guard<THR_MUTEX_OBJ> lock(ipc_pipe_state_mutex);
  for (THR_NAMED_PIPE* pipe : ipc_named_pipes) {
    if (arguments.find(std::string("--pipe_name=") + pipe->pipe_name) == std::string::npos)
      continue;
    return pipe->write(text.data(), text.size()) == static_cast<int32_t>(text.size());
  }
  return false;
}
