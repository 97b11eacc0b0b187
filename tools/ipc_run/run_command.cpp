#include "tools/ipc_run/run_command.h"

#include <chrono>

#include "ipc/ipc_command_impl.h"

std::atomic<bool> ipc_run_stop_requested{false};

void RUN_COMMAND::set_timeout(double seconds) {
  // Rounded up, so the smallest positive timeout is still a limit.
  m_pacing.set_time_limit(
      std::chrono::ceil<RUN_PACING::CLOCK::duration>(std::chrono::duration<double>(seconds)));
}

bool RUN_COMMAND::is_stopped() {
  if (m_close_stdin_pending) {  // the first pass: the child runs
    m_close_stdin_pending = false;
    close_child_stdin();
  }
  const bool timed_out = m_pacing.pass();
  return timed_out || ipc_run_stop_requested.load();
}

int RUN_COMMAND::exec_error() const { return m_impl->m_exec_error; }

void RUN_COMMAND::close_child_stdin() {
  // The library closes this handle again after the run; the host ignores a closed handle.
  unsigned long stdin_pipe = m_impl->m_stdin_pipe;
  if (stdin_pipe != 0) thr_process_close_pipe(stdin_pipe);
}

const std::string& RUN_COMMAND::unfinished_command() const { return m_impl->m_tcl_buffer; }
