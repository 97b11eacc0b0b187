// Runs on worker threads: each evaluates its child's lines in its own thread's interpreter, so
// every message is in the run's report when run() returns, whatever the trusted thread does.
#include <gtest/gtest.h>
#include <tcl.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/msg.h"
#include "host/thr_gui.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "tests/support/host_environment.h"

namespace {

constexpr int THREADS = 8;
// Every run lasts at least the library's half-second grace poll, so the full 200 runs per thread
// are made by the thread-sanitizer pass of scripts/test (IPC_STRESS_RUNS=200), fewer elsewhere.
int runs_per_thread() {
  const char* runs = std::getenv("IPC_STRESS_RUNS");
  return runs != nullptr ? std::atoi(runs) : 20;
}
constexpr int MESSAGES_PER_RUN = 5;

// One short run; how many of its messages its report holds when run() returns (-1: failed).
int messages_of_one_run() {
  MSG_REPORT report;
  IPC_COMMAND command;
  command.set_msg_report(&report);
  THR_PROCESS_EXIT_CODE code{0, 0};
  const std::string writer =
      std::string(IPC_CHILDREN_DIR) + "/write_lines " + std::to_string(MESSAGES_PER_RUN) + " --tcl";
  if (!command.run(writer, "", false, &code, "", false)) return -1;
  return static_cast<int>(report.count());
}

TEST(ThreadedRuns, NoMessageIsLostWhileTheTrustedThreadChangesItsCommands) {
  std::atomic<int> finished_threads{0};
  std::atomic<int> incomplete_runs{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < THREADS; ++t) {
    workers.emplace_back([&] {
      for (int r = runs_per_thread(); r > 0; --r)
        if (messages_of_one_run() != MESSAGES_PER_RUN) ++incomplete_runs;
      ++finished_threads;
    });
  }
  Tcl_Interp* trusted = ztcl_get_trusted_interpreter();
  for (long i = 0; finished_threads < THREADS; ++i) {
    const std::string name = "p" + std::to_string(i % 100);
    Tcl_Eval(trusted, ("proc " + name + " {} {}; rename " + name + " {}").c_str());
    thr_qt_process_events();
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(incomplete_runs, 0);
}

}  // namespace
