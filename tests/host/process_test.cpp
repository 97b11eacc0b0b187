// Process service of the real host layer, against real child programs.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "host/thr_process.h"
#include "tests/support/child_process.h"

namespace {

using ::testing::HasSubstr;

const std::string CHILDREN = IPC_CHILDREN_DIR;

std::string start_error(const std::string& command_line, const std::string& option = "") {
  unsigned long output = 0;
  unsigned long input = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result = thr_process_create2(command_line, option, &output, &output, &input, &stat);
  EXPECT_TRUE(result.has_error()) << command_line << " started";
  if (!result.has_error()) return "";
  EXPECT_NE(stat.os_error, 0);
  return std::unique_ptr<BRANTOR_ERROR_MESSAGE>(result.error()->make_error_message())->text();
}

// Everything that ran: output, wait result and record.
struct OUTCOME {
  std::string output;
  int wait_result = 0;
  THR_PROCESS_EXIT_CODE code{-1, -1};
};

OUTCOME run_to_end(const std::string& command_line, bool join_stderr = true,
                   const std::string& option = "") {
  OUTCOME outcome;
  CHILD child = start_child(command_line, join_stderr, option);
  if (child.pid == 0) return outcome;
  outcome.output = read_all(child.output);
  outcome.wait_result = wait_for_end(child.pid, &outcome.code);
  close_pipes(child);
  return outcome;
}

// The state letter and parent of a process from /proc/PID/stat; state 0 once it is gone (reading
// may then fail midway).
std::pair<char, int> proc_stat(const std::string& pid) {
  char text[1024] = {};
  const int fd = open(("/proc/" + pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || read(fd, text, sizeof text - 1) <= 0) text[0] = 0;
  if (fd >= 0) close(fd);
  std::pair<char, int> stat{0, 0};
  const char* close_paren = std::strrchr(text, ')');
  if (close_paren == nullptr ||
      std::sscanf(close_paren + 1, " %c %d", &stat.first, &stat.second) != 2)
    return {0, 0};
  return stat;
}

// Waits until the process is gone (zombie_counts: or a zombie its new parent has to collect).
bool dies(unsigned long pid, bool zombie_counts) {
  const auto started = std::chrono::steady_clock::now();
  for (;; thr_msleep(20)) {
    const char state = proc_stat(std::to_string(pid)).first;
    if (state == 0 || (zombie_counts && state == 'Z')) return true;
    if (!before_deadline(started)) return false;
  }
}

std::set<int> children_of_this_process() {
  std::set<int> children;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr)
    if (std::atoi(entry->d_name) > 0 && proc_stat(entry->d_name).second == getpid())
      children.insert(std::atoi(entry->d_name));
  if (proc != nullptr) closedir(proc);
  return children;
}

TEST(HostProcess, SplitsTheCommandLineLikeAShell) {
  OUTCOME outcome = run_to_end(
      CHILDREN + R"(/print_args plain "two words" 'single $HOME' back\ slash "q\"uote" '')");
  EXPECT_EQ(outcome.output, "plain\ntwo words\nsingle $HOME\nback slash\nq\"uote\n\n");
  EXPECT_EQ(outcome.wait_result, 1);
  EXPECT_EQ(outcome.code.status, 0);
  EXPECT_EQ(outcome.code.exit_code, 0);

  EXPECT_THAT(start_error(R"(print_args "unclosed)"), HasSubstr("unclosed"));
  EXPECT_THAT(start_error("   "), HasSubstr("Cannot split the command line"));
}

TEST(HostProcess, ChildGetsJoinedStderrNoHostDescriptorAndDefaultSignalsInItsOwnGroup) {
  EXPECT_EQ(run_to_end(CHILDREN + "/write_both").output, "to stdout\nto stderr\n");
  EXPECT_EQ(run_to_end(CHILDREN + "/write_both", false).output, "to stdout\n");

  int inheritable = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(inheritable, 0);
  EXPECT_EQ(run_to_end(CHILDREN + "/list_fds").output, "0\n1\n2\n");
  close(inheritable);

  void (*old_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  void (*old_int)(int) = signal(SIGINT, SIG_IGN);
  sigset_t blocked;
  sigset_t old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  OUTCOME outcome = run_to_end(CHILDREN + "/show_signals");
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGPIPE, old_pipe);
  signal(SIGINT, old_int);
  EXPECT_EQ(outcome.output, "blocked:\nSIGPIPE default\nSIGINT default\ngroup leader yes\n");
}

TEST(HostProcess, ProgramThatCannotStartIsReportedAtOnceWithNoChildLeft) {
  const std::set<int> before = children_of_this_process();
  std::string missing = start_error("/nonexistent/program --flag");
  EXPECT_THAT(missing, HasSubstr("/nonexistent/program"));
  EXPECT_THAT(missing, HasSubstr(std::strerror(ENOENT)));
  EXPECT_THAT(start_error("no_such_program_on_the_path"), HasSubstr("no_such_program_on_the_path"));
  const std::string plain_file = std::string(IPC_SOURCE_DIR) + "/README.md";
  std::string refused = start_error(plain_file);
  EXPECT_THAT(refused, HasSubstr(plain_file));
  EXPECT_THAT(refused, HasSubstr(std::strerror(EACCES)));
  EXPECT_THAT(start_error(CHILDREN + "/print_cwd", "cwd=/nonexistent/directory"),
              HasSubstr(std::strerror(ENOENT)));
  EXPECT_THAT(start_error(CHILDREN + "/print_cwd", "priority=high"),
              HasSubstr("unknown process option \"priority=high\""));
  EXPECT_EQ(children_of_this_process(), before);
  EXPECT_EQ(run_to_end(CHILDREN + "/print_cwd", true, "cwd=/").output, "/\n");
}

// Successful writes, exit codes and thr_system's status are seen in the library's whole runs.
TEST(HostProcess, WriteToAnEndedChildOrAClosedHandleFailsWithoutSigpipe) {
  const std::string text = "line one\n";
  uint32_t count = 0;
  THR_PROCESS_EXIT_CODE code{};
  // SIGPIPE stays at its default here: a raised one would end the test program.
  CHILD deaf = start_child(CHILDREN + "/print_args");
  EXPECT_EQ(wait_for_end(deaf.pid, &code), 1);
  EXPECT_NE(thr_process_write(deaf.input, text.data(), text.size(), &count), 0);
  close_pipes(deaf);

  // A closed handle stays dead even when its descriptor number serves a new child's pipe.
  CHILD next = start_child(CHILDREN + "/echo_stdin");
  EXPECT_NE(thr_process_write(deaf.input, text.data(), text.size(), &count), 0) << "closed handle";
  EXPECT_NE(next.input, deaf.input);
  thr_process_close_pipe(next.input);
  EXPECT_EQ(read_all(next.output), "");
  EXPECT_EQ(wait_for_end(next.pid, &code), 1);
  thr_process_close_pipe(next.output);
}

TEST(HostProcess, PeekReportsTheEndOnceTheChildClosesItsOutput) {
  CHILD child = start_child(CHILDREN + "/sleep_forever --close-output");
  EXPECT_EQ(read_all(child.output), "");
  uint32_t waiting = 7;
  EXPECT_NE(thr_process_peek(child.output, &waiting), 0);
  EXPECT_EQ(waiting, 0u);
  THR_PROCESS_EXIT_CODE code{};
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), 0) << "still running after closing its output";
  EXPECT_EQ(thr_process_terminate(child.pid, code), 0);
  close_pipes(child);
  EXPECT_NE(thr_process_peek(child.output, &waiting), 0) << "closed handle";
}

TEST(HostProcess, TableRefusesIdsThatAreNotLiveChildrenAndReapsClosedHandles) {
  THR_PROCESS_EXIT_CODE code{};
  for (unsigned long stranger : {0ul, 1ul, static_cast<unsigned long>(getpid()), ~0ul}) {
    EXPECT_EQ(thr_process_wait(stranger, &code, 1), -1) << stranger;
    EXPECT_NE(thr_process_terminate(stranger, code), 0) << stranger;
  }

  CHILD child = start_child(CHILDREN + "/print_args once");
  read_all(child.output);
  EXPECT_EQ(wait_for_end(child.pid, &code), 1);
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), -1) << "collected ids are forgotten";
  EXPECT_NE(thr_process_terminate(child.pid, code), 0);
  close_pipes(child);

  CHILD closed = start_child(CHILDREN + "/print_args bye");
  EXPECT_EQ(read_all(closed.output), "bye\n");
  thr_process_close_handle(closed.pid);
  EXPECT_EQ(thr_process_wait(closed.pid, &code, 1), -1);
  EXPECT_TRUE(dies(closed.pid, false)) << "the host reaps children whose handle was closed";
  close_pipes(closed);
}

TEST(HostProcess, TerminateKillsTheWholeGroupAndLeavesNoZombie) {
  CHILD child = start_child(CHILDREN + "/sleep_forever --grandchild");
  std::string line;
  char c = 0;
  for (uint32_t count = 0; c != '\n' && thr_process_read(child.output, &c, 1, &count) == 0;)
    line.append(&c, count);
  const int grandchild = std::atoi(line.c_str());
  ASSERT_GT(grandchild, 0);
  THR_PROCESS_EXIT_CODE code{0, 1};
  EXPECT_EQ(thr_process_terminate(child.pid, code), 0);
  EXPECT_EQ(read_all(child.output), "") << "the pipe ends once the whole group is gone";
  EXPECT_TRUE(dies(grandchild, true));
  EXPECT_TRUE(dies(child.pid, false)) << "the host reaps terminated children";
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), -1);
  EXPECT_NE(thr_process_terminate(child.pid, code), 0);
  close_pipes(child);
}

unsigned long g_victim = 0;
void terminate_victim(int) { thr_process_terminate(g_victim, THR_PROCESS_EXIT_CODE{0, 0}); }

TEST(HostProcess, TerminateWorksFromASignalHandlerAndTheChildStaysWaitable) {
  CHILD child = start_child(CHILDREN + "/sleep_forever");
  g_victim = child.pid;
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = terminate_victim;
  sigaction(SIGUSR1, &action, &old);
  raise(SIGUSR1);
  sigaction(SIGUSR1, &old, nullptr);
  THR_PROCESS_EXIT_CODE code{};
  ASSERT_EQ(wait_for_end(child.pid, &code), 1);
  EXPECT_EQ(code.status & 0x7f, SIGKILL);
  close_pipes(child);
}

}  // namespace
