// Remote pool helpers through a shell launcher, with faults injected into real processes: each
// run must still finish every partition, or fail naming the partition, and leave nothing behind:
// no process, no file in its $TMPDIR (a remote part killed mid-run included).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/processes.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
const fs::path SCRATCH = fs::path(::testing::TempDir()) / ("relay_" + std::to_string(getpid()));

struct ACT {
  int after_ms;
  int signal;  // sent to the first remote part
};

struct ROW {
  const char* name;
  const char* helper = "pool_helper --work_ms=500";
  const char* launcher = "./launch";
  const char* options = "";
  std::vector<ACT> acts;
  int status = 0;
  const char* out = "";  // a pattern the output must match
  const char* err = "";
};

TEST(PoolRelay, LostHelpersAreReplacedAndNothingIsLeft) {
  fs::create_directories(SCRATCH);
  write_script(SCRATCH, "launch", "echo $$ >>remotes; exec \"$@\"");
  // Like ssh: the remote part lives on when its launcher is killed.
  write_script(SCRATCH, "detached", "exec 3<&0; setsid \"$@\" <&3 & echo $! >>remotes; wait");
  write_script(SCRATCH, "fail_once", "mkdir failed 2>/dev/null && exit 3; exec \"$@\"");
  const std::vector<ROW> rows = {
      {.name = "plain run", .out = "partition 2 done"},
      {.name = "remote part killed",
       .acts = {{300, SIGKILL}},
       .out = "WARNING: helper \\d: lost on .*partition \\d goes to a new helper, attempt 2 of 3"},
      {.name = "lost helper in the report",
       .options = "--report",
       .acts = {{300, SIGKILL}},
       .out = "report: WARNING: helper \\d: lost on "},
      {.name = "launcher missing",
       .launcher = "./no_such_launcher",
       .status = 125,
       .out = "ERROR: helper \\d: cannot start ./no_such_launcher: No such file"},
      {.name = "remote part stopped",
       .options = "--heartbeat 1",
       .acts = {{300, SIGSTOP}},
       .out = "lost on .*no heartbeat for 1 s"},
      {.name = "late completion",
       .launcher = "./detached",
       .options = "--heartbeat 1",
       .acts = {{300, SIGSTOP}, {1600, SIGCONT}},
       .out = "^(?![\\s\\S]*partition 0 done[\\s\\S]*partition 0 done)"},
      {.name = "helper fails once",
       .helper = "./fail_once pool_helper --work_ms=1",
       .out = "lost on .*the helper ended with exit status 3"},
      {.name = "never ready",
       .launcher = "sh -c 'exec sleep 100'",
       .options = "--start-timeout 0.5 --attempts 2",
       .status = 125,
       .out = "ERROR: helper \\d: partition 0 failed after 2 attempts: attempt 1 on .*not ready "
              "within 0.5 s; attempt 2 on .*not ready within 0.5 s"},
      {.name = "partition always fails",
       .helper = "sh -c 'exit 4'",
       .status = 125,
       .out = "ERROR: helper \\d: partition \\d failed after 3 attempts: (attempt . on [^:]*: the "
              "helper ended with exit status 4(; )?){3}"},
  };
  for (const ROW& row : rows) {
    fs::remove(SCRATCH / "remotes");
    fs::remove(SCRATCH / "failed");
    fs::remove_all(SCRATCH / "tmp");
    fs::create_directory(SCRATCH / "tmp");
    const std::string marker =
        "RELAY_TEST_ROW=" + std::to_string(getpid()) + "." + std::to_string(&row - rows.data());
    const std::string line = "cd " + SCRATCH.string() + " && PATH=" + IPC_CHILDREN_DIR + ":$PATH " +
                             marker + " TMPDIR=" + (SCRATCH / "tmp").string() + " timeout 60 " +
                             IPC_RUN_PATH + " --pool 2:3 --launcher \"" + row.launcher + "\" " +
                             row.options + " --helper \"" + row.helper +
                             "\" -- sleep 3.5 >out 2>err";
    std::thread run(
        [&] { EXPECT_EQ(WEXITSTATUS(std::system(line.c_str())), row.status) << row.name; });
    for (const ACT& act : row.acts) {
      std::this_thread::sleep_for(milliseconds(act.after_ms));
      const int remote = std::atoi(read_file(SCRATCH / "remotes").c_str());
      ASSERT_GT(remote, 1) << row.name;  // never the test's own group
      ::kill(remote, act.signal);
    }
    run.join();
    EXPECT_TRUE(std::regex_search(read_file(SCRATCH / "out"), std::regex(row.out))) << row.name;
    EXPECT_TRUE(std::regex_search(read_file(SCRATCH / "err"), std::regex(row.err)))
        << row.name << read_file(SCRATCH / "err");
    for (int p = 0; p < 3 && row.status == 0; ++p)
      EXPECT_NE(read_file(SCRATCH / "out").find("partition " + std::to_string(p) + " done"),
                std::string::npos)
          << row.name << ": partition " << p;
    EXPECT_EQ(survivors(marker, std::chrono::seconds(5)).size(), 0u) << row.name;
    EXPECT_TRUE(fs::is_empty(SCRATCH / "tmp")) << row.name << ": files left in $TMPDIR";
  }
  fs::remove_all(SCRATCH);
}

}  // namespace
