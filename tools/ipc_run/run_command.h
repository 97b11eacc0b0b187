// The command ipc_run runs: stops on a stop request, serves the interpreter's events while the
// child is silent, and lets --stdin end the child's input.
#pragma once

#include <atomic>
#include <chrono>

#include "ipc/ipc_command.h"

// Set by SIGINT; the monitoring loop polls it through is_stopped.
extern std::atomic<bool> ipc_run_stop_requested;

class RUN_COMMAND : public IPC_COMMAND {
 public:
  // Polled once per pass of the monitoring loop.
  bool is_stopped() override;
  // The library pumps events only after output; with this on, timers (--eval 'after ...') also
  // fire while the child is silent. Off with --no-gui.
  void serve_events_when_idle(bool on) { m_serve_events = on; }
  // Closes the child's standard input, so it sees the end of its input.
  void close_child_stdin();

 private:
  bool m_serve_events = true;
  std::chrono::steady_clock::time_point m_last_served{};
};
