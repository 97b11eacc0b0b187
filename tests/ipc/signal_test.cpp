// The SIGTERM handler with real children and real signals. Every row runs in a fresh process
// (death-test style "threadsafe"), as the handler's installation is process-wide and never undone.
#include <gmock/gmock.h>
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

void print_pid() { std::fprintf(stderr, "(pid==%d)\n", static_cast<int>(getpid())); }

// The exit texts after print_pid, for that same pid.
bool exits_with_its_own_pid(const std::string& err) {
  const std::string pid = err.substr(0, err.find('\n'));
  return err == pid + "\nTerminating backend processes...\nExiting " + pid + "...\n";
}

void take_the_registry() { std::lock_guard<THR_MUTEX_OBJ> lock(ipc_command_global_state_mutex); }

// Raises SIGTERM while a command runs a child that only a kill ends; returns once the run ended.
void raise_with_a_live_child() {
  IPC_COMMAND command;
  std::thread run([&command] {
    command.run(std::string(IPC_CHILDREN_DIR) + "/sleep_forever", "", false, nullptr, "", false);
  });
  while (command.get_process_status(100) == NOT_STARTED) continue;
  if (command.get_process_status(0) != RUNNING) std::_Exit(90);
  raise(SIGTERM);
  run.join();
}

struct ROW {
  const char* name;
  void (*earlier_handler)(int);
  void (*body)();
  int status;  // 1 when the handler exits, else how often the host handler was called
  ::testing::Matcher<const std::string&> err;
};

TEST(Signal, HandlerKillsChildrenThenChainsOrExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const ROW rows[] = {
      {"a live child is killed, the earlier handler follows and the process goes on", host_handler,
       raise_with_a_live_child, 1, "Terminating backend processes...\n"},
      {"a null saved disposition is replaced; once one is saved, installation stops", SIG_DFL,
       [] {
         { IPC_COMMAND first; }  // saves null, so the next one installs again
         signal(SIGTERM, host_handler);
         { IPC_COMMAND second; }
         const bool installed = signal(SIGTERM, other_handler) == ipc_signal_handler;
         { IPC_COMMAND third; }
         if (!installed || signal(SIGTERM, other_handler) != other_handler) std::_Exit(3);
         ipc_signal_handler(SIGTERM);  // with every command gone: text, then the saved handler
       },
       1, "Terminating backend processes...\n"},
      {"its own handler saved counts as none; other numbers do nothing; the lock is freed", SIG_DFL,
       [] {
         // As a static destructor joining a worker that destroys its command would.
         std::atexit([] { std::thread(take_the_registry).join(); });
         { IPC_COMMAND first, second; }  // the second saves the library's own handler
         ipc_signal_handler(SIGUSR1);
         ipc_signal_handler(SIGHUP);
         print_pid();
         ipc_signal_handler(SIGTERM);
       },
       1, ::testing::Truly(exits_with_its_own_pid)},
      {"SIGINT always exits", host_handler,
       [] {
         IPC_COMMAND command;
         print_pid();
         ipc_signal_handler(SIGINT);
       },
       1, ::testing::Truly(exits_with_its_own_pid)},
      {"an ignored earlier disposition is never called", SIG_IGN,
       [] {
         IPC_COMMAND command;
         raise(SIGTERM);
       },
       0, "Terminating backend processes...\n"},
      {"the thread holding the registry's lock may be the one signalled", host_handler,
       [] {
         IPC_COMMAND command;
         std::lock_guard<THR_MUTEX_OBJ> lock(ipc_command_global_state_mutex);
         raise(SIGTERM);
       },
       1, "Terminating backend processes...\n"},
  };
  for (const ROW& row : rows) {
    SCOPED_TRACE(row.name);
    const auto run = [&row] {
      alarm(60);  // a hang is a failure too
      std::fflush(stdout);
      dup2(STDERR_FILENO, STDOUT_FILENO);  // the handler's texts, where death tests look
      signal(SIGTERM, row.earlier_handler);
      row.body();
      std::_Exit(host_handler_calls);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(row.status), row.err);
  }
}

}  // namespace
