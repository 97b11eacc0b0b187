// ipc_run's signals: the stop signals on a thread, SIGPIPE and SIGABRT by handlers.
#include "tools/ipc_run/signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "host/thr_process.h"
#include "services/stop_signals.h"
#include "tools/ipc_run/run_command.h"

namespace {

std::atomic<int> g_stop_signal{0};

// Nothing this process started outlives it, whichever way it ends.
[[noreturn]] void end_everything_and_exit(int status) {
  thr_process_terminate_all();
  _exit(status);
}

// On the signal thread. SIGTERM ends everything at once with the status the library's own
// handler uses; nothing is written, as standard output may be what is blocked.
void on_stop_signal(int number) {
  if (number == SIGTERM) end_everything_and_exit(1);
  int none = 0;
  if (!g_stop_signal.compare_exchange_strong(none, number))
    end_everything_and_exit(128 + none);  // the second one: no more waiting for the run
  request_run_stop();
}

void on_broken_output(int number) { end_everything_and_exit(128 + number); }

// An internal error's abort: every child goes first, then the process dies by SIGABRT.
void on_abort(int number) { host_die_by_signal(number); }

void install(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(number, &action, nullptr);
}

}  // namespace

int receive_stop_signals() { return host_receive_stop_signals(on_stop_signal); }

void install_signal_handlers() {
  install(SIGPIPE, on_broken_output);
  install(SIGABRT, on_abort);
}

void request_run_stop() {
  ipc_run_stop_requested = true;
  thr_request_stop();
}

int stop_signal() { return g_stop_signal.load(); }
