// The process service against real children: what the kernel decides about their start,
// descriptors, signals, group, pipes, termination and reaping.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

#include "host/thr_process.h"
#include "tests/support/child_process.h"

namespace {

using ::testing::HasSubstr;

// The text of a start that must fail, or "" when it started.
std::string start_error(const std::string& command_line, const std::string& option) {
  unsigned long output = 0, input = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result = thr_process_create2(command_line, option, &output, &output, &input, &stat);
  if (!result.has_error()) return "";
  EXPECT_NE(stat.os_error, 0) << command_line;
  return std::unique_ptr<BRANTOR_ERROR_MESSAGE>(result.error()->make_error_message())->text();
}

std::string file_text(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Waits until the process is gone (zombie_counts: or a zombie its new parent has to collect).
bool dies(unsigned long pid, bool zombie_counts) {
  for (auto started = std::chrono::steady_clock::now(); before_deadline(started); thr_msleep(20)) {
    const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || (zombie_counts && stat.compare(paren, 4, ") Z ") == 0))
      return true;
  }
  return false;
}

// What the child does with its start is its own: ipc_run's tests see its words, output, exit
// status and failures to start end to end.
std::string run_to_end(const std::string& command) {
  const CHILD child = start_child(command);
  const std::string output = read_all(child.output);
  THR_PROCESS_EXIT_CODE code{-1, -1};
  EXPECT_EQ(wait_for_end(child.pid, &code), 1) << command;
  close_pipes(child);
  return output;
}

TEST(HostProcess, AChildHasNoHostDescriptorDefaultSignalsAnEmptyMaskAndItsOwnGroup) {
  const int inheritable = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  signal(SIGINT, SIG_IGN);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  EXPECT_EQ(run_to_end("ls /proc/self/fd"), "0\n1\n2\n3\n") << "3 is ls's own directory";
  EXPECT_TRUE(
      std::regex_match(run_to_end("grep -E '^(Pid|NSpgid|SigBlk|SigIgn):' /proc/self/status"),
                       std::regex("Pid:\t(\\d+)\nNSpgid:\t\\1\nSigBlk:\t0+\nSigIgn:\t0+\n")));
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGINT, SIG_DFL);
  close(inheritable);
}

TEST(HostProcess, ALineOrOptionThatCannotStartIsReportedWithNoChildLeft) {
  const std::string failures[][3] = {
      {"no_such_program_on_the_path", "", "\"no_such_program_on_the_path\": No such file"},
      {"pwd", "priority=high", "unknown process option \"priority=high\""},
      {R"(printf "unclosed)", "", "unclosed"},
      {"   ", "", "Cannot split the command line"},
  };
  for (const auto& [command, option, complaint] : failures)
    EXPECT_THAT(start_error(command, option), HasSubstr(complaint)) << command;
  EXPECT_EQ(file_text("/proc/self/task/" + std::to_string(gettid()) + "/children"), "");
}

unsigned long g_victim = 0;
void terminate_victim(int) { thr_process_terminate(g_victim, THR_PROCESS_EXIT_CODE{0, 0}); }

TEST(HostProcess, PipesEndsAndReapingOfLiveChildrenOnly) {
  THR_PROCESS_EXIT_CODE code{};
  for (unsigned long stranger : {0ul, 1ul, static_cast<unsigned long>(getpid()), ~0ul}) {
    EXPECT_EQ(thr_process_wait(stranger, &code, 1), -1) << stranger;
    EXPECT_NE(thr_process_terminate(stranger, code), 0) << stranger;
  }
  const CHILD forgotten = start_child("echo bye");
  EXPECT_EQ(read_all(forgotten.output), "bye\n");
  thr_process_close_handle(forgotten.pid);
  EXPECT_EQ(thr_process_wait(forgotten.pid, &code, 1), -1);

  // A group whose grandchild holds the output pipe, killed directly; a sleeper that closed its
  // output, killed from a signal handler, stays waitable for its caller.
  const CHILD group = start_child("sh -c 'sleep 600 & echo $!; wait'");
  const CHILD sleeper = start_child("sh -c 'exec >&- 2>&- sleep 600'");
  std::string line;
  char c = 0;
  for (uint32_t count = 0; c != '\n' && thr_process_read(group.output, &c, 1, &count) == 0;)
    line.append(&c, count);
  ASSERT_GT(std::atoi(line.c_str()), 0);
  EXPECT_EQ(thr_process_terminate(group.pid, code), 0);
  EXPECT_EQ(read_all(sleeper.output), "");
  uint32_t waiting = 7;
  EXPECT_NE(thr_process_peek(sleeper.output, &waiting), 0) << "the end, seen while it runs";
  EXPECT_EQ(waiting, 0u);
  EXPECT_EQ(thr_process_wait(sleeper.pid, &code, 1), 0);
  g_victim = sleeper.pid;
  struct sigaction action {
  }, old{};
  action.sa_handler = terminate_victim;
  sigaction(SIGUSR1, &action, &old);
  raise(SIGUSR1);
  sigaction(SIGUSR1, &old, nullptr);
  ASSERT_EQ(wait_for_end(sleeper.pid, &code), 1);
  EXPECT_EQ(code.status & 0x7f, SIGKILL);
  EXPECT_EQ(thr_process_wait(sleeper.pid, &code, 1), -1) << "collected ids are forgotten";
  EXPECT_NE(thr_process_terminate(sleeper.pid, code), 0);

  // SIGPIPE stays at its default here: a raised one would end the test program.
  uint32_t count = 0;
  EXPECT_NE(thr_process_write(sleeper.input, "x", 1, &count), 0) << "the reader has ended";
  close_pipes(sleeper);
  EXPECT_NE(thr_process_peek(sleeper.output, &waiting), 0) << "closed handle";
  const CHILD cat = start_child("cat");  // may get the closed handle's descriptor number
  EXPECT_NE(thr_process_write(sleeper.input, "x", 1, &count), 0) << "closed handle";
  EXPECT_NE(cat.input, sleeper.input);
  thr_process_close_pipe(cat.input);
  EXPECT_EQ(read_all(cat.output), "") << "cat saw its input end";
  EXPECT_EQ(wait_for_end(cat.pid, &code), 1);

  EXPECT_EQ(read_all(group.output), "") << "the pipe ends once the whole group is gone";
  EXPECT_TRUE(dies(std::atoi(line.c_str()), true));
  EXPECT_TRUE(dies(forgotten.pid, false));
  EXPECT_TRUE(dies(group.pid, false)) << "reaped after a grace for its caller's wait";
  EXPECT_EQ(thr_process_wait(group.pid, &code, 1), -1);
  for (const CHILD& child : {forgotten, group, cat}) close_pipes(child);
}

}  // namespace
