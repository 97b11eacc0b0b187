// The command ipc_run runs: stops, events while silent, stray lines, failed lines.
#include "tools/ipc_run/run_command.h"

#include <chrono>

#include "host/msg.h"
#include "services/literal_message.h"
#include "services/stray_output.h"
#include "tools/ipc_run/terminal.h"

std::atomic<bool> ipc_run_stop_requested{false};

RUN_COMMAND::RUN_COMMAND(bool quiet)
    : m_quiet(quiet), m_previous_observer(ztcl_set_error_observer(this)) {}

RUN_COMMAND::~RUN_COMMAND() { ztcl_set_error_observer(m_previous_observer); }

void RUN_COMMAND::set_timeout(double seconds) {
  // Rounded up, so the smallest positive timeout is still a limit.
  m_pacing.set_timeout(
      std::chrono::ceil<RUN_PACING::CLOCK::duration>(std::chrono::duration<double>(seconds)));
}

bool RUN_COMMAND::is_stopped() {
  if (m_close_stdin_pending) {  // the first pass: the child runs
    m_close_stdin_pending = false;
    close_stdin();
  }
  return stop_due();
}

bool RUN_COMMAND::stop_due() {
  const bool timed_out = m_pacing.pass();
  // Messages nobody can read any more: the run ends as if the reader had gone.
  if (m_output_error == 0) m_output_error = msg_output_error();
  return timed_out || m_output_error != 0 || ipc_run_stop_requested.load();
}

void RUN_COMMAND::process_line(const std::string& line) {
  // One read may hold thousands of lines: a stop is served between them, not only between reads.
  if (stop_due()) return;
  if (!m_plain && host_take_line(unfinished_command(), line, m_msg_report)) return;
  IPC_COMMAND::process_line(line);
}

void RUN_COMMAND::line_failed(const std::string& error, const std::string& script) {
  ++m_failed_lines;
  if (m_quiet) return;
  write_to_stderr("ipc_run: " + host_failed_line_text(error, script) + "\n");
}
