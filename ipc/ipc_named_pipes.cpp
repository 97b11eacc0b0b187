// The registry of connected named pipes, the scoped owner of a run's pipe, and the broadcast.
#include <algorithm>
#include <mutex>

#include "host/msg.h"
#include "ipc/ipc_internal.h"

namespace {
// Holds ipc_pipe_state_mutex for one scope, so an allocation failure cannot leave it locked.
using PIPE_STATE_LOCK = std::lock_guard<THR_MUTEX_OBJ>;
}  // namespace

void ipc_push_named_pipe(THR_NAMED_PIPE* pipe) {
  PIPE_STATE_LOCK lock(ipc_pipe_state_mutex);
  ipc_named_pipes.push_back(pipe);
}

void ipc_pop_named_pipe(THR_NAMED_PIPE* pipe) {
  PIPE_STATE_LOCK lock(ipc_pipe_state_mutex);
  auto listed = std::find(ipc_named_pipes.begin(), ipc_named_pipes.end(), pipe);
  if (listed != ipc_named_pipes.end()) ipc_named_pipes.erase(listed);
}

bool SCOPED_THR_NAMED_PIPE::prepare() {
  if (named_pipe == nullptr) ipc_internal_error("named_pipe", 584);
  if (!named_pipe->connect()) return false;
  // Marked before it is listed: should the listing fail for want of memory, the destructor
  // still removes the FIFO, and unlisting a pipe that is not listed does nothing.
  registered = true;
  ipc_push_named_pipe(named_pipe);
  return true;
}

SCOPED_THR_NAMED_PIPE::~SCOPED_THR_NAMED_PIPE() {
  if (named_pipe == nullptr) return;
  // Unlisted before removal, so a broadcast on another thread never writes to a dead pipe.
  if (registered) {
    ipc_pop_named_pipe(named_pipe);
    named_pipe->remove();
  }
  delete named_pipe;
}

bool IPC_COMMAND::send_through_pipe(const std::string& text) {
  PIPE_STATE_LOCK lock(ipc_pipe_state_mutex);
  bool all_written = true;
  for (THR_NAMED_PIPE* pipe : ipc_named_pipes) {
    if (pipe->write(text.data(), text.size()) == -1) all_written = false;
  }
  return all_written;
}
