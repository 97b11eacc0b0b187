// The command ipc_run runs: stops on a stop request or a failed write of the messages, serves the
// interpreter's events while the child is silent, lets --stdin end the child's input, keeps an
// unbalanced stray line from swallowing the lines after it, and shows every failing line.
#pragma once

#include <atomic>
#include <string>

#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "services/run_pacing.h"

// Set by Ctrl-C, SIGHUP or a dead pool helper (signals.h); the monitoring loop polls it through
// is_stopped.
extern std::atomic<bool> ipc_run_stop_requested;

class RUN_COMMAND : public IPC_COMMAND, private ZTCL_ERROR_OBSERVER {
 public:
  // quiet: failing lines are counted but not shown.
  explicit RUN_COMMAND(bool quiet);
  ~RUN_COMMAND() override;

  // Polled once per pass of the monitoring loop.
  bool is_stopped() override;
  void process_line(const std::string& line) override;
  // The library pumps events only after output; with this on, timers (--eval 'after ...') also
  // fire while the child is silent. Off with --no-gui.
  void serve_events_when_idle(bool on) { m_pacing.serve_events(on); }
  // Stops the child once seconds have passed since the monitoring began; 0: never.
  void set_timeout(double seconds);
  bool timed_out() const { return m_pacing.timed_out(); }
  // Without --stdin nobody writes to the child's input: it is closed as soon as the child runs.
  void close_stdin_once_running() { m_close_stdin_pending = true; }
  // Tcl mode is on unless disable_tcl_mode was called through this class.
  void set_plain() {
    m_plain = true;
    disable_tcl_mode();
  }
  // Child lines that failed in Tcl (shown unless quiet).
  int failed_lines() const { return m_failed_lines; }
  // errno of the failed write of the messages to stdout that stopped the run; 0 when none.
  int output_error() const { return m_output_error; }

 private:
  void line_failed(const std::string& error, const std::string& script) override;
  // Serves due events; true once a stop request, the timeout or a failed write of the messages
  // ends the run.
  bool stop_due();

  RUN_PACING m_pacing;
  bool m_quiet;
  bool m_plain = false;
  bool m_close_stdin_pending = false;
  int m_failed_lines = 0;
  int m_output_error = 0;
  ZTCL_ERROR_OBSERVER* m_previous_observer;
};
