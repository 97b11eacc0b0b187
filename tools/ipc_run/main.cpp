// ipc_run: runs one backend through the library, on the command line.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "host/cfg.h"
#include "host/host.h"
#include "host/msg.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "services/helper_pool.h"
#include "services/stray_output.h"
#include "tools/ipc_run/debug_display.h"
#include "tools/ipc_run/exit_status.h"
#include "tools/ipc_run/options.h"
#include "tools/ipc_run/run_command.h"
#include "tools/ipc_run/signals.h"
#include "tools/ipc_run/stdin_forwarder.h"
#include "tools/ipc_run/tcl_commands.h"
#include "tools/ipc_run/terminal.h"

namespace {

HELPER_POOL* live_pool = nullptr;

// A closed standard descriptor would be reused by the first pipe or file opened, and messages
// would go there. Each closed one gets /dev/null opened read-only: reads see the end, writes fail
// with EBADF, so a closed stdout still ends the run with its cause.
void hold_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDONLY);  // the lowest free number: fd itself
    if (opened != fd && opened != -1) close(opened);
  }
}

// The library's SIGTERM handling exits the process; helpers must not outlive it.
void terminate_helpers_at_exit() {
  if (live_pool != nullptr) live_pool->terminate_all();
}

void configure_host(const OPTIONS& options) {
  cfg_set_value("ipc_buffer_size", "65536");  // large reads for a chatty child; --set overrides
  for (const auto& [key, value] : options.settings) cfg_set_value(key, value);
  for (unsigned id : options.suppressed_ids) MSG_INDEX::get_default_index()->suppress(id);
}

// What the child's lines may do in this run: --trusted and --expose, the --set time limit, the
// run's --report and --timeout as the deadline of every evaluation.
ZTCL_RUN_POLICY run_policy(const OPTIONS& options, const MSG_REPORT* report) {
  ZTCL_RUN_POLICY policy = ztcl_policy_from_settings();
  policy.trusted = policy.trusted || options.trusted;
  policy.exposed = options.exposed_commands;
  policy.report = report;
  constexpr double LONGEST_DEADLINE_SECONDS = 1e9;  // beyond that the clock would overflow
  if (options.timeout_seconds > 0 && options.timeout_seconds < LONGEST_DEADLINE_SECONDS)
    policy.deadline = std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(options.timeout_seconds));
  return policy;
}

void configure_command(const OPTIONS& options, RUN_COMMAND& command) {
  if (options.plain) command.set_plain();
  if (options.no_stderr) command.disable_stderr_capture();
  if (options.no_gui) command.disable_gui_update();
  command.set_timeout(options.timeout_seconds);
  if (!options.forward_stdin) command.close_stdin_once_running();
  command.serve_events_when_idle(!options.no_gui);
}

bool evaluate_scripts(const OPTIONS& options) {
  Tcl_Interp* interpreter = ztcl_get_trusted_interpreter();
  for (const std::string& script : options.scripts) {
    if (Tcl_EvalEx(interpreter, script.c_str(), -1, TCL_EVAL_GLOBAL) != TCL_OK) {
      std::fprintf(stderr, "ipc_run: --eval: %s\n", Tcl_GetStringResult(interpreter));
      return false;
    }
  }
  return true;
}

void print_report(const MSG_REPORT& report) {
  std::vector<MSG_RECORD> records = report.records();
  for (const MSG_RECORD& record : records)
    std::printf("report: %s\n", msg_format_record(record).c_str());
  std::printf("report: %zu message%s\n", records.size(), records.size() == 1 ? "" : "s");
  std::fflush(stdout);
}

// The library explains a signal death only in its debug output; a terminal user wants to know.
void explain_signal_death(const OPTIONS& options, const THR_PROCESS_EXIT_CODE& code) {
  if (!WIFSIGNALED(code.status)) return;
  int number = WTERMSIG(code.status);
  std::fprintf(stderr, "ipc_run: %s was killed by signal %d (%s)%s\n",
               IPC_COMMAND::title_of(options.command_line, options.title).c_str(), number,
               strsignal(number), WCOREDUMP(code.status) ? ", core dumped" : "");
}

// What the pool says joins the run's messages (the report with --report); a partition that
// failed every attempt or a helper that died stops the run.
POOL_LISTENER pool_listener(MSG_REPORT* report) {
  return [report](const POOL_EVENT& event) {
    const MSG_RECORD record = pool_event_record(event);
    if (report != nullptr && record.kind != MSG_KIND::DEBUG)
      report->deliver(record);
    else
      msg_deliver_default(record);
    if (pool_event_ends_run(event.kind)) request_run_stop();
  };
}

struct RUN_OUTCOME {
  bool ok = false;
  THR_PROCESS_EXIT_CODE code{0, 0};
};

RUN_OUTCOME run_child(const OPTIONS& options, RUN_COMMAND& command, HELPER_POOL* pool) {
  RUN_OUTCOME outcome;
  std::optional<STDIN_FORWARDER> forwarder;
  if (options.forward_stdin) forwarder.emplace(command);
  if (pool == nullptr) {
    outcome.ok =
        command.run(options.command_line, full_process_option(options), options.wrap_in_shell,
                    &outcome.code, options.title, options.use_named_pipe);
  } else {
    outcome.ok = command.run_with_named_pipe(
        options.command_line, full_process_option(options), options.wrap_in_shell, &outcome.code,
        options.title, options.use_named_pipe, true, pool->to_helpers(), pool->from_helpers(),
        pool->helper_count(), options.pool->partition_count);
  }
  return outcome;
}

// --strict: a backend whose lines failed or were stray did not do its job, even with status 0.
bool strict_failure(const OPTIONS& options, const RUN_COMMAND& command, int stray_lines) {
  if (!options.strict) return false;
  const int problems = command.failed_lines() + stray_lines;
  if (problems > 0)
    std::fprintf(stderr, "ipc_run: --strict: %d line%s of %s failed or were stray output\n",
                 problems, problems == 1 ? "" : "s",
                 IPC_COMMAND::title_of(options.command_line, options.title).c_str());
  return problems > 0;
}

int exit_status(const OPTIONS& options, const RUN_OUTCOME& outcome, const RUN_COMMAND& command,
                int stray_lines) {
  if (int number = stop_signal()) return EXIT_SIGNAL_BASE + number;
  if (int error = command.output_error()) {
    write_to_stderr(std::string("ipc_run: cannot write messages: ") + std::strerror(error) + "\n");
    return EXIT_RUN_FAILED;
  }
  if (command.timed_out())
    std::fprintf(stderr, "ipc_run: %s stopped after the --timeout of %g seconds\n",
                 IPC_COMMAND::title_of(options.command_line, options.title).c_str(),
                 options.timeout_seconds);
  else if (outcome.ok)
    explain_signal_death(options, outcome.code);
  const int status =
      exit_status_of(RUN_END{outcome.ok, outcome.code, command.exec_error(), command.timed_out()});
  if (status == 0 && strict_failure(options, command, stray_lines)) return EXIT_DATA_ERROR;
  return status;
}

int run_backend(const OPTIONS& options, const SCOPED_DEBUG_DISPLAY& display) {
  MSG_REPORT report;
  RUN_COMMAND command(options.quiet);
  configure_command(options, command);
  if (options.report) command.set_msg_report(&report);
  SCOPED_ZTCL_RUN_POLICY policy(run_policy(options, options.report ? &report : nullptr));
  // With --report the library's own messages about the run (a pipe that failed to open, a child
  // that could not be started) join the child's in the report.
  std::optional<SCOPED_MSG_THREAD_SINKS> report_sinks;
  if (options.report) report_sinks.emplace(&report, nullptr);
  SCOPED_IPC_SEND ipc_send(command);
  SCOPED_IPC_PROGRESS ipc_progress;
  if (!evaluate_scripts(options)) return EXIT_RUN_FAILED;

  HELPER_POOL pool(pool_listener(options.report ? &report : nullptr));
  if (options.pool) {
    live_pool = &pool;
    std::string error;
    if (!pool.start(*options.pool, &error)) {
      std::fprintf(stderr, "ipc_run: %s\n", error.c_str());
      pool.terminate_all();
      pool.finish();
      live_pool = nullptr;
      return EXIT_RUN_FAILED;
    }
  }

  RUN_OUTCOME outcome;
  try {
    outcome = run_child(options, command, options.pool ? &pool : nullptr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ipc_run: %s\n", error.what());
    outcome = RUN_OUTCOME{};
  }
  PROGRESS_LINE::instance().clear();
  if (options.pool) {
    // A failed or stopped run leaves helpers waiting for orders.
    if (!outcome.ok || ipc_run_stop_requested) pool.terminate_all();
    pool.finish();
    if (pool.failed()) outcome.ok = false;
    live_pool = nullptr;
  }
  // Text the library never judged, as it never became a complete command, is stray too.
  const std::string& unfinished = command.unfinished_command();
  if (!options.quiet && !unfinished.empty()) show_stray_output(unfinished);
  if (options.report) print_report(report);
  if (options.summary)
    std::fprintf(stderr, "ipc_run: ok=%d status=%d exit_code=%d\n", outcome.ok ? 1 : 0,
                 outcome.code.status, outcome.code.exit_code);
  msg_flush();
  return exit_status(
      options, outcome, command,
      display.stray_lines() +
          (unfinished.empty() ? 0 : static_cast<int>(host_stray_lines(unfinished).size())));
}

}  // namespace

int main(int argc, char** argv) {
  hold_closed_standard_descriptors();
  PARSE_RESULT parsed = parse_options(argc, argv);
  switch (parsed.outcome) {
    case PARSE_OUTCOME::HELP:
      std::fputs(help_text().c_str(), stdout);
      return 0;
    case PARSE_OUTCOME::VERSION:
      std::printf("ipc_run %s\n", IPC_VERSION);
      return 0;
    case PARSE_OUTCOME::USAGE_ERROR:
      if (!parsed.error.empty()) std::fprintf(stderr, "ipc_run: %s\n", parsed.error.c_str());
      std::fputs(short_usage(), stderr);
      return EXIT_USAGE;
    case PARSE_OUTCOME::RUN:
      break;
  }
  std::atexit(terminate_helpers_at_exit);
  if (const int error = receive_stop_signals()) {
    std::fprintf(stderr, "ipc_run: cannot start the signal thread: %s\n", std::strerror(error));
    return EXIT_RUN_FAILED;
  }
  host_start(argv[0]);
  install_signal_handlers();
  int status = 0;
  {
    SCOPED_DEBUG_DISPLAY display(!parsed.options.quiet, parsed.options.debug);
    SCOPED_TERMINAL_SINK terminal(parsed.options.color);
    configure_host(parsed.options);
    status = run_backend(parsed.options, display);
  }
  host_stop();
  return status;
}
