// The command ipc_run runs: stops on a stop request, serves the interpreter's events while the
// child is silent, and lets --stdin end the child's input.
#pragma once

#include <atomic>
#include <string>

#include "host/run_pacing.h"
#include "ipc/ipc_command.h"

// Set by Ctrl-C, SIGHUP or a dead pool helper (signals.h); the monitoring loop polls it through
// is_stopped.
extern std::atomic<bool> ipc_run_stop_requested;

class RUN_COMMAND : public IPC_COMMAND {
 public:
  // Polled once per pass of the monitoring loop.
  bool is_stopped() override;
  // The library pumps events only after output; with this on, timers (--eval 'after ...') also
  // fire while the child is silent. Off with --no-gui.
  void serve_events_when_idle(bool on) { m_pacing.serve_events(on); }
  // Closes the child's standard input, so it sees the end of its input.
  void close_child_stdin();
  // Stops the child once seconds have passed since the monitoring began; 0: never.
  void set_timeout(double seconds);
  bool timed_out() const { return m_pacing.timed_out(); }
  // errno of a program that could not be executed; 0 when it was, or the run failed otherwise.
  int exec_error() const;
  // The output gathered for a Tcl command that never became complete; empty when none.
  const std::string& unfinished_command() const;
  // Without --stdin nobody writes to the child's input: it is closed as soon as the child runs.
  void close_stdin_once_running() { m_close_stdin_pending = true; }

 private:
  RUN_PACING m_pacing;
  bool m_close_stdin_pending = false;
};
