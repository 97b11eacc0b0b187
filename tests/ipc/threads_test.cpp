// Runs on worker threads keep every child message whatever the trusted thread does (each run
// takes the half-second grace poll, so only the thread-sanitizer pass makes 200, IPC_STRESS_RUNS);
// FIFOs made and removed on many threads keep to their own.
#include <gtest/gtest.h>
#include <tcl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/msg.h"
#include "host/thr_gui.h"
#include "host/thr_named_pipe.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"
#include "tests/support/host_environment.h"

namespace {

// Whether one short run's report holds all five of its child's messages when run() returns.
bool one_run_keeps_every_message() {
  MSG_REPORT report;
  IPC_COMMAND command;
  command.set_msg_report(&report);
  THR_PROCESS_EXIT_CODE code{0, 0};
  const std::string writer = std::string(IPC_CHILDREN_DIR) + "/write_lines 5 --tcl";
  return command.run(writer, "", false, &code, "", false) && report.count() == 5;
}

TEST(ThreadedRuns, NoMessageIsLostWhileTheTrustedThreadChangesItsCommands) {
  const char* runs = std::getenv("IPC_STRESS_RUNS");
  const int runs_per_thread = runs != nullptr ? std::atoi(runs) : 20;
  constexpr int THREADS = 8;
  std::atomic<int> finished_threads{0}, incomplete_runs{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < THREADS; ++t)
    workers.emplace_back([&] {
      for (int r = runs_per_thread; r > 0; --r) incomplete_runs += !one_run_keeps_every_message();
      ++finished_threads;
    });
  Tcl_Interp* trusted = ztcl_get_trusted_interpreter();
  for (long i = 0; finished_threads < THREADS; ++i) {
    const std::string name = "p" + std::to_string(i % 100);
    Tcl_Eval(trusted, ("proc " + name + " {} {}; rename " + name + " {}").c_str());
    thr_qt_process_events();
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(incomplete_runs, 0);
}

// FIFOs made and removed on many threads at once: each stays until its own removal.
TEST(ThreadedRuns, FifosMadeAndRemovedAtOnceStayEachTheirOwn) {
  std::atomic<int> lost{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        THR_NAMED_PIPE pipe("");
        lost += !pipe.create() || access(pipe.pipe_name, F_OK) != 0;
      }
    });
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(lost, 0);
}

}  // namespace
