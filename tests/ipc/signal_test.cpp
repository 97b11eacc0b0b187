// The SIGTERM handler with real children and real signals. Every row runs in a fresh process
// (death-test style "threadsafe"), since the handler's installation is process-wide and never
// undone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "ipc/ipc_command.h"
#include "ipc/ipc_internal.h"

namespace {

std::atomic<int> host_handler_calls{0};  // counts SIGTERM once, any other number a hundred times
void host_handler(int signal_number) { host_handler_calls += signal_number == SIGTERM ? 1 : 100; }
void other_handler(int) {}

void (*sigterm_disposition())(int) {
  struct sigaction action {};
  sigaction(SIGTERM, nullptr, &action);
  return action.sa_handler;
}

// The handler prints to standard output; death tests see standard error only.
void send_stdout_to_stderr() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

// At exit, says on standard error whether standard output held the handler's texts for this
// process's own pid.
int captured_stdout = -1;
void capture_stdout_until_exit() {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK) != 0) std::_Exit(92);
  std::fflush(stdout);
  dup2(ends[1], STDOUT_FILENO);
  captured_stdout = ends[0];
  std::atexit([] {
    std::fflush(stdout);
    char buffer[256] = {};
    const ssize_t size = read(captured_stdout, buffer, sizeof buffer - 1);
    const std::string expected =
        "Terminating backend processes...\nExiting (pid==" + std::to_string(getpid()) + ")...\n";
    std::fputs(size > 0 && expected == buffer ? "texts match\n" : "texts differ\n", stderr);
  });
}

void take_the_registry() { std::lock_guard<THR_MUTEX_OBJ> lock(ipc_command_global_state_mutex); }

// Raises SIGTERM while a command runs a child that only a kill ends; returns once the run ended.
void raise_with_a_live_child() {
  IPC_COMMAND command;
  std::thread run([&command] {
    command.run(std::string(IPC_CHILDREN_DIR) + "/sleep_forever", "", false, nullptr, "", false);
  });
  while (command.get_process_status(100) == NOT_STARTED) {
  }
  if (command.get_process_status(0) != RUNNING) std::_Exit(90);
  raise(SIGTERM);
  run.join();
}

struct ROW {
  const char* name;
  void (*earlier_handler)(int);
  void (*body)();
  int status;
  const char* stderr_pattern;
};

TEST(Signal, HandlerKillsChildrenThenChainsOrExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const ROW rows[] = {
      {"a live child is killed, the earlier handler follows and the process goes on", host_handler,
       [] {
         raise_with_a_live_child();
         std::exit(host_handler_calls == 1 ? 0 : 2);
       },
       0, "^Terminating backend processes...\n$"},
      {"no earlier handler: the real pid, status 1, and other threads may take the registry",
       SIG_DFL,
       [] {
         capture_stdout_until_exit();
         // As a static destructor joining a worker that destroys its command would.
         std::atexit([] { std::thread(take_the_registry).join(); });
         raise_with_a_live_child();
         std::_Exit(91);
       },
       1, "^texts match\n$"},
      {"a null saved disposition is replaced; once one is saved, installation stops", SIG_DFL,
       [] {
         { IPC_COMMAND first; }  // saves null, so the next one installs again
         signal(SIGTERM, host_handler);
         { IPC_COMMAND second; }
         const bool installed = sigterm_disposition() == ipc_signal_handler;
         signal(SIGTERM, other_handler);
         { IPC_COMMAND third; }
         if (!installed || sigterm_disposition() != other_handler) std::_Exit(3);
         ipc_signal_handler(SIGTERM);  // with every command gone: text, then the saved handler
         std::_Exit(host_handler_calls == 1 ? 0 : 4);
       },
       0, "^Terminating backend processes...\n$"},
      {"the library's own handler saved counts as none", SIG_DFL,
       [] {
         capture_stdout_until_exit();
         { IPC_COMMAND first, second; }  // the second saves the library's own handler
         signal(SIGTERM, other_handler);
         { IPC_COMMAND third; }
         if (sigterm_disposition() != other_handler) std::_Exit(5);
         ipc_signal_handler(SIGTERM);
         std::_Exit(91);
       },
       1, "^texts match\n$"},
      {"SIGINT always exits, other numbers do nothing", host_handler,
       [] {
         IPC_COMMAND command;
         ipc_signal_handler(SIGUSR1);
         ipc_signal_handler(SIGHUP);
         std::fputs("still here\n", stderr);
         ipc_signal_handler(SIGINT);
         std::_Exit(6);
       },
       1, "^still here\nTerminating backend processes...\nExiting \\(pid==[0-9]+\\)...\n$"},
      {"an ignored earlier disposition is never called", SIG_IGN,
       [] {
         IPC_COMMAND command;
         raise(SIGTERM);
         std::_Exit(0);
       },
       0, "^Terminating backend processes...\n$"},
      {"the thread holding the registry's lock may be the one signalled", host_handler,
       [] {
         IPC_COMMAND command;
         std::lock_guard<THR_MUTEX_OBJ> lock(ipc_command_global_state_mutex);
         raise(SIGTERM);
         std::_Exit(host_handler_calls == 1 ? 0 : 7);
       },
       0, "^Terminating backend processes...\n$"},
  };
  for (const ROW& row : rows) {
    SCOPED_TRACE(row.name);
    const auto run = [&row] {
      alarm(60);  // a hang is a failure too
      send_stdout_to_stderr();
      signal(SIGTERM, row.earlier_handler);
      row.body();
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(row.status), row.stderr_pattern);
  }
}

}  // namespace
