#include "tools/ipc_run/run_command.h"

#include "host/thr_gui.h"
#include "ipc/ipc_command_impl.h"

std::atomic<bool> ipc_run_stop_requested{false};

namespace {

// Often enough for timers to feel on time, rarely enough to keep an idle run cheap.
constexpr auto EVENT_INTERVAL = std::chrono::milliseconds(10);

}  // namespace

bool RUN_COMMAND::is_stopped() {
  if (m_serve_events) {
    auto now = std::chrono::steady_clock::now();
    if (now - m_last_served >= EVENT_INTERVAL) {
      m_last_served = now;
      thr_qt_process_events();
    }
  }
  return ipc_run_stop_requested.load();
}

void RUN_COMMAND::close_child_stdin() {
  // The library closes this handle again after the run; the host ignores a closed handle.
  unsigned long stdin_pipe = m_impl->m_stdin_pipe;
  if (stdin_pipe != 0) thr_process_close_pipe(stdin_pipe);
}
