// What a child prints cannot reach ipc_run's powers: each hostile line is dropped or fails in the
// child interpreter, the run goes on to the child's own exit status and its later messages.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct RUN {
  int status = -1;
  std::string out;
};

// Runs ipc_run on a child that prints each line, then a message, then exits 3.
RUN run_child_printing(const std::vector<std::string>& lines, const std::string& options = "") {
  std::string words;
  for (const std::string& line : lines) words += " '" + line + "'";
  const std::string command = std::string(IPC_RUN_PATH) + " " + options +
                              " -- sh -c 'printf \"%s\\n\" \"$@\" \"msg_post 0 info {after}\"; "
                              "exit 3' sh" +
                              words + " 2>&1";
  RUN run;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class ChildInterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("ipc_hostile_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    kept = dir / "kept";
    std::FILE* file = std::fopen(kept.c_str(), "w");
    std::fclose(file);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir, kept;
};

TEST_F(ChildInterpreterTest, HostileLinesLeaveTheHostUntouched) {
  const std::string made = (dir / "made").string();
  // All in one run: each line must leave the host as it was for the lines after it.
  const std::vector<std::string> hostile = {
      "exec touch " + made,
      "open " + made + " w",
      "file delete " + kept.string(),
      "msg_post 0 info [exec touch " + made + "]",
      "exit 7",
      "cd /",
      "source /etc/passwd",
      "socket localhost 1",
      "interp create other",
      "vwait forever",
      "after 100000000",
      "update",
      "while 1 {}",
      "rename msg_post {}",
      "proc msg_post args {}",
  };
  RUN run = run_child_printing(hostile, "--set tcl_time_limit=300");
  EXPECT_EQ(run.status, 3) << run.out;
  EXPECT_THAT(run.out, HasSubstr("INFO: after"));
  EXPECT_FALSE(fs::exists(made));
  EXPECT_TRUE(fs::exists(kept));
}

TEST_F(ChildInterpreterTest, TrustedModeRunsTheLineInTheHost) {
  const std::string made = (dir / "made").string();
  RUN run = run_child_printing({"exec touch " + made}, "--set tcl_trusted=1");
  EXPECT_EQ(run.status, 3) << run.out;
  EXPECT_TRUE(fs::exists(made));
}

TEST_F(ChildInterpreterTest, AnExposedHostProcIsCallableFromTheChild) {
  const std::string made = (dir / "made").string();
  RUN run = run_child_printing(
      {"note_done"}, "--eval 'proc note_done {} {close [open " + made + " w]}' --expose note_done");
  EXPECT_EQ(run.status, 3) << run.out;
  EXPECT_TRUE(fs::exists(made));
}

}  // namespace
