// An example host that runs several backends at once: one thread, one report and one policy per
// command line; each run's messages are printed together as soon as it ends.
//
//   build/examples/parallel_host 'build/examples/cpp_backend 3' 'sh -c "exit 2"' ...
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/msg.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"

namespace {

std::mutex output_mutex;  // one run's group is printed whole

// Runs command on the calling thread; its messages, the library's own about it included, go to
// its own report and nowhere else. Returns the child's exit code, 125 when it could not run.
int run_one(const std::string& command) {
  MSG_REPORT report;
  SCOPED_MSG_THREAD_SINKS sinks(&report, nullptr);  // e.g. "cannot execute" is this run's
  ZTCL_RUN_POLICY policy = ztcl_policy_from_settings();
  policy.report = &report;  // the only report this run's child lines may name
  SCOPED_ZTCL_RUN_POLICY scope(policy);
  THR_PROCESS_EXIT_CODE code{0, 0};
  IPC_COMMAND command_run;  // one per child, used once
  command_run.set_msg_report(&report);
  const bool ok = command_run.run(command, "", false, &code, "", false);
  const int exit_code = ok ? code.exit_code : 125;
  std::lock_guard<std::mutex> lock(output_mutex);
  std::printf("== %s: exit %d, %zu messages\n", command.c_str(), exit_code, report.count());
  for (const MSG_RECORD& record : report.records())
    std::printf("   %s\n", msg_format_record(record).c_str());
  std::fflush(stdout);
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s COMMAND-LINE ...\n", argv[0]);
    return 2;
  }
  host_start(argv[0]);  // the trusted interpreter; every thread gets its own safe child one
  std::vector<int> codes(argc - 1, 0);
  std::vector<std::thread> threads;
  for (int i = 1; i < argc; ++i)
    threads.emplace_back([&codes, i, argv] { codes[i - 1] = run_one(argv[i]); });
  for (std::thread& thread : threads) thread.join();
  host_stop();
  int worst = 0;
  for (int code : codes) worst = code > worst ? code : worst;
  return worst;
}
