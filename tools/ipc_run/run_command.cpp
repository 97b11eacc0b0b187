#include "tools/ipc_run/run_command.h"

#include "host/thr_gui.h"
#include "ipc/ipc_command_impl.h"

std::atomic<bool> ipc_run_stop_requested{false};

namespace {

// Often enough for timers to feel on time, rarely enough to keep an idle run cheap.
constexpr auto EVENT_INTERVAL = std::chrono::milliseconds(10);

}  // namespace

bool RUN_COMMAND::is_stopped() {
  if (m_close_stdin_pending) {  // the first pass: the child runs
    m_close_stdin_pending = false;
    close_child_stdin();
  }
  const auto now = std::chrono::steady_clock::now();
  if (m_timeout.count() > 0) {
    if (!m_deadline)
      m_deadline = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(m_timeout);
    if (now >= *m_deadline) m_timed_out = true;
  }
  if (m_serve_events) {
    if (now - m_last_served >= EVENT_INTERVAL) {
      m_last_served = now;
      thr_qt_process_events();
    }
  }
  return m_timed_out || ipc_run_stop_requested.load();
}

int RUN_COMMAND::exec_error() const { return m_impl->m_exec_error; }

void RUN_COMMAND::close_child_stdin() {
  // The library closes this handle again after the run; the host ignores a closed handle.
  unsigned long stdin_pipe = m_impl->m_stdin_pipe;
  if (stdin_pipe != 0) thr_process_close_pipe(stdin_pipe);
}

const std::string& RUN_COMMAND::unfinished_command() const { return m_impl->m_tcl_buffer; }
