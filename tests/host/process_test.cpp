// Process service of the real host layer, against real child programs.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/thr_process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string CHILDREN = IPC_CHILDREN_DIR;
constexpr auto PATIENCE = std::chrono::seconds(60);  // generous: the machine may be loaded

struct CHILD {
  unsigned long pid = 0;
  unsigned long output = 0;
  unsigned long input = 0;
};

CHILD start(const std::string& command_line, bool join_stderr = true,
            const std::string& option = "") {
  CHILD child;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result = thr_process_create2(command_line, option, &child.output,
                                    join_stderr ? &child.output : nullptr, &child.input, &stat);
  EXPECT_TRUE(result.has_value())
      << command_line << ": "
      << (result.has_error()
              ? std::unique_ptr<BRANTOR_ERROR_MESSAGE>(result.error()->make_error_message())->text()
              : std::string());
  if (result.has_value()) child.pid = result.value();
  EXPECT_EQ(stat.os_error, 0);
  return child;
}

std::string start_error(const std::string& command_line, const std::string& option = "") {
  unsigned long output = 0;
  unsigned long input = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result = thr_process_create2(command_line, option, &output, &output, &input, &stat);
  EXPECT_TRUE(result.has_error()) << command_line << " started";
  if (!result.has_error()) return "";
  EXPECT_NE(stat.os_error, 0);
  std::unique_ptr<BRANTOR_ERROR_MESSAGE> message(result.error()->make_error_message());
  return message->text();
}

bool before_deadline(std::chrono::steady_clock::time_point started) {
  return std::chrono::steady_clock::now() - started < PATIENCE;
}

// Everything the child writes until its output pipe is finished.
std::string read_all(unsigned long pipe) {
  std::string text;
  const auto started = std::chrono::steady_clock::now();
  while (before_deadline(started)) {
    uint32_t waiting = 0;
    if (thr_process_peek(pipe, &waiting) != 0) break;
    if (waiting == 0) {
      thr_msleep(5);
      continue;
    }
    char buffer[256];
    uint32_t count = 0;
    EXPECT_EQ(thr_process_read(pipe, buffer, sizeof buffer, &count), 0);
    text.append(buffer, count);
  }
  return text;
}

std::string read_line(unsigned long pipe) {
  std::string line;
  const auto started = std::chrono::steady_clock::now();
  while (before_deadline(started) && (line.empty() || line.back() != '\n')) {
    char c = 0;
    uint32_t count = 0;
    if (thr_process_read(pipe, &c, 1, &count) != 0) break;
    line.append(&c, count);
  }
  return line;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Waits (polling, never blocking) until the child has ended; the wait result.
int wait_for_end(unsigned long pid, THR_PROCESS_EXIT_CODE* code) {
  const auto started = std::chrono::steady_clock::now();
  int r = 0;
  while (before_deadline(started) && (r = thr_process_wait(pid, code, 1)) == 0) thr_msleep(5);
  return r;
}

void finish(const CHILD& child) {
  thr_process_close_pipe(child.output);
  thr_process_close_pipe(child.input);
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
  CHILD child = start(command_line, join_stderr, option);
  if (child.pid == 0) return outcome;
  outcome.output = read_all(child.output);
  outcome.wait_result = wait_for_end(child.pid, &outcome.code);
  finish(child);
  return outcome;
}

// The text of a small /proc file; "" once the process is gone (reading may then fail midway).
std::string proc_text(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char buffer[1024];
  ssize_t n = read(fd, buffer, sizeof buffer - 1);
  close(fd);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The state letter of /proc/PID/stat, or 0 once the process is gone.
char process_state(pid_t pid) {
  std::string text = proc_text("/proc/" + std::to_string(pid) + "/stat");
  auto close_paren = text.rfind(')');
  char state = 0;
  if (close_paren == std::string::npos ||
      std::sscanf(text.c_str() + close_paren + 1, " %c", &state) != 1)
    return 0;
  return state;
}

template <typename PRED>
bool becomes(PRED pred) {
  const auto started = std::chrono::steady_clock::now();
  while (before_deadline(started) && !pred()) thr_msleep(20);
  return pred();
}

// Gone from the system: a zombie still counts as present.
bool vanishes(pid_t pid) {
  return becomes([pid] { return process_state(pid) == 0; });
}

// Dead: gone, or a zombie that someone else (its new parent) has to collect.
bool dies(pid_t pid) {
  return becomes([pid] {
    char state = process_state(pid);
    return state == 0 || state == 'Z';
  });
}

std::set<pid_t> children_of_this_process() {
  std::set<pid_t> children;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::string text = proc_text("/proc/" + std::string(entry->d_name) + "/stat");
    auto close_paren = text.rfind(')');
    if (close_paren == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(text.c_str() + close_paren + 1, " %c %d", &state, &parent) == 2 &&
        parent == getpid())
      children.insert(pid);
  }
  if (proc != nullptr) closedir(proc);
  return children;
}

TEST(HostProcess, SplitsTheCommandLineLikeAShell) {
  OUTCOME outcome = run_to_end(
      CHILDREN + R"(/print_args plain "two words" 'single $HOME' back\ slash "q\"uote" '')");
  EXPECT_THAT(lines_of(outcome.output),
              ElementsAre("plain", "two words", "single $HOME", "back slash", "q\"uote", ""));
  EXPECT_EQ(outcome.wait_result, 1);
  EXPECT_EQ(outcome.code.status, 0);
  EXPECT_EQ(outcome.code.exit_code, 0);

  EXPECT_THAT(start_error(R"(print_args "unclosed)"), HasSubstr("unclosed"));
  EXPECT_THAT(start_error("   "), HasSubstr("Cannot split the command line"));
}

TEST(HostProcess, ProgramsAreFoundOnThePathAndReportTheirExitCode) {
  OUTCOME outcome = run_to_end("sh -c 'echo from path; exit 7'");
  EXPECT_EQ(outcome.output, "from path\n");
  ASSERT_EQ(outcome.wait_result, 1);
  EXPECT_TRUE(WIFEXITED(outcome.code.status));
  EXPECT_EQ(outcome.code.exit_code, 7);

  outcome = run_to_end("sh -c 'kill -9 $$'");
  ASSERT_EQ(outcome.wait_result, 1);
  EXPECT_EQ(outcome.code.status & 0x7f, SIGKILL);
  EXPECT_EQ(outcome.code.exit_code, 0);
}

TEST(HostProcess, StandardErrorJoinsTheOutputOnlyWhenAsked) {
  EXPECT_THAT(lines_of(run_to_end(CHILDREN + "/write_both").output),
              ElementsAre("to stdout", "to stderr"));
  EXPECT_THAT(lines_of(run_to_end(CHILDREN + "/write_both", false).output),
              ElementsAre("to stdout"));
}

TEST(HostProcess, ChildInheritsNoHostDescriptor) {
  int inheritable = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(inheritable, 0);
  OUTCOME outcome = run_to_end(CHILDREN + "/list_fds");
  close(inheritable);
  EXPECT_THAT(lines_of(outcome.output), ElementsAre("0", "1", "2"));
}

TEST(HostProcess, ChildStartsWithDefaultSignalsInItsOwnGroup) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_pipe {};
  struct sigaction old_int {};
  sigaction(SIGPIPE, &ignore, &old_pipe);
  sigaction(SIGINT, &ignore, &old_int);
  sigset_t blocked;
  sigset_t old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);

  OUTCOME outcome = run_to_end(CHILDREN + "/show_signals");

  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  sigaction(SIGINT, &old_int, nullptr);
  EXPECT_THAT(lines_of(outcome.output),
              ElementsAre("blocked:", "SIGPIPE default", "SIGINT default", "group leader yes"));
}

TEST(HostProcess, ProgramThatCannotStartIsReportedAtOnceWithNoChildLeft) {
  const std::set<pid_t> before = children_of_this_process();
  std::string missing = start_error("/nonexistent/program --flag");
  EXPECT_THAT(missing, HasSubstr("/nonexistent/program"));
  EXPECT_THAT(missing, HasSubstr(std::strerror(ENOENT)));
  EXPECT_THAT(start_error("no_such_program_on_the_path"), HasSubstr("no_such_program_on_the_path"));

  char directory[] = "/tmp/process_test_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string plain_file = std::string(directory) + "/not_executable";
  std::ofstream(plain_file) << "#!/bin/sh\necho never\n";
  chmod(plain_file.c_str(), 0644);
  std::string refused = start_error(plain_file);
  EXPECT_THAT(refused, HasSubstr(plain_file));
  EXPECT_THAT(refused, HasSubstr(std::strerror(EACCES)));
  unlink(plain_file.c_str());
  rmdir(directory);

  EXPECT_EQ(children_of_this_process(), before);
}

TEST(HostProcess, WorkingDirectoryOption) {
  EXPECT_EQ(run_to_end(CHILDREN + "/print_cwd", true, "cwd=/").output, "/\n");
  EXPECT_THAT(start_error(CHILDREN + "/print_cwd", "cwd=/nonexistent/directory"),
              HasSubstr(std::strerror(ENOENT)));
  EXPECT_THAT(start_error(CHILDREN + "/print_cwd", "priority=high"),
              HasSubstr("unknown process option \"priority=high\""));
}

TEST(HostProcess, WriteReachesTheChildAndNeverRaisesSigpipe) {
  CHILD echo = start(CHILDREN + "/echo_stdin");
  const std::string text = "line one\nline two\n";
  uint32_t count = 0;
  EXPECT_EQ(thr_process_write(echo.input, text.data(), text.size(), &count), 0);
  EXPECT_EQ(count, text.size());
  thr_process_close_pipe(echo.input);
  EXPECT_EQ(read_all(echo.output), text);
  THR_PROCESS_EXIT_CODE code{};
  EXPECT_EQ(wait_for_end(echo.pid, &code), 1);
  thr_process_close_pipe(echo.output);

  // SIGPIPE stays at its default here: a raised one would end the test program.
  CHILD deaf = start(CHILDREN + "/print_args");
  EXPECT_EQ(wait_for_end(deaf.pid, &code), 1);
  EXPECT_NE(thr_process_write(deaf.input, text.data(), text.size(), &count), 0);
  finish(deaf);

  // A closed handle stays dead even when its descriptor number serves a new child's pipe.
  CHILD next = start(CHILDREN + "/echo_stdin");
  EXPECT_NE(thr_process_write(deaf.input, text.data(), text.size(), &count), 0) << "closed handle";
  EXPECT_NE(next.input, deaf.input);
  thr_process_close_pipe(deaf.input);
  thr_process_close_pipe(next.input);
  EXPECT_EQ(read_all(next.output), "");
  EXPECT_EQ(wait_for_end(next.pid, &code), 1);
  thr_process_close_pipe(next.output);
}

TEST(HostProcess, PeekReportsTheEndOnceTheChildClosesItsOutput) {
  CHILD child = start(CHILDREN + "/sleep_forever --close-output");
  EXPECT_EQ(read_all(child.output), "");
  uint32_t waiting = 7;
  EXPECT_NE(thr_process_peek(child.output, &waiting), 0);
  EXPECT_EQ(waiting, 0u);
  THR_PROCESS_EXIT_CODE code{};
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), 0) << "still running after closing its output";
  EXPECT_EQ(thr_process_terminate(child.pid, code), 0);
  finish(child);
  EXPECT_NE(thr_process_peek(child.output, &waiting), 0) << "closed handle";
}

TEST(HostProcess, TableRefusesIdsThatAreNotLiveChildren) {
  THR_PROCESS_EXIT_CODE code{};
  for (unsigned long stranger : {0ul, 1ul, static_cast<unsigned long>(getpid()), ~0ul}) {
    EXPECT_EQ(thr_process_wait(stranger, &code, 1), -1) << stranger;
    EXPECT_NE(thr_process_terminate(stranger, code), 0) << stranger;
  }

  OUTCOME reaped;
  CHILD child = start(CHILDREN + "/print_args once");
  read_all(child.output);
  EXPECT_EQ(wait_for_end(child.pid, &code), 1);
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), -1) << "collected ids are forgotten";
  EXPECT_NE(thr_process_terminate(child.pid, code), 0);
  finish(child);
}

TEST(HostProcess, TerminateKillsTheWholeGroupAndLeavesNoZombie) {
  CHILD child = start(CHILDREN + "/sleep_forever --grandchild");
  const pid_t grandchild = std::atoi(read_line(child.output).c_str());
  ASSERT_GT(grandchild, 0);
  THR_PROCESS_EXIT_CODE code{0, 1};
  EXPECT_EQ(thr_process_terminate(child.pid, code), 0);
  EXPECT_EQ(read_all(child.output), "") << "the pipe ends once the whole group is gone";
  EXPECT_TRUE(dies(grandchild));
  EXPECT_TRUE(vanishes(static_cast<pid_t>(child.pid))) << "the host reaps terminated children";
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), -1);
  EXPECT_NE(thr_process_terminate(child.pid, code), 0);
  finish(child);
}

TEST(HostProcess, TerminatedChildStaysWaitableForItsCaller) {
  CHILD child = start(CHILDREN + "/sleep_forever");
  THR_PROCESS_EXIT_CODE code{};
  EXPECT_EQ(thr_process_terminate(child.pid, code), 0);
  ASSERT_EQ(wait_for_end(child.pid, &code), 1);
  EXPECT_EQ(code.status & 0x7f, SIGKILL);
  finish(child);
}

TEST(HostProcess, ClosedHandleIsReapedByTheHost) {
  CHILD child = start(CHILDREN + "/print_args bye");
  EXPECT_EQ(read_all(child.output), "bye\n");
  thr_process_close_handle(child.pid);
  THR_PROCESS_EXIT_CODE code{};
  EXPECT_EQ(thr_process_wait(child.pid, &code, 1), -1);
  EXPECT_TRUE(vanishes(static_cast<pid_t>(child.pid)));
  finish(child);
}

unsigned long g_victim = 0;
void terminate_victim(int) { thr_process_terminate(g_victim, THR_PROCESS_EXIT_CODE{0, 0}); }

TEST(HostProcess, TerminateWorksFromASignalHandler) {
  CHILD child = start(CHILDREN + "/sleep_forever");
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
  finish(child);
}

TEST(HostProcess, SystemGivesTheShellsWaitStatus) {
  int32_t status = thr_system("exit 3");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ((status >> 8) & 0xff, 3);
  status = thr_system("kill -9 $$");
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(HostProcess, SmallServices) {
  EXPECT_EQ(thr_getpid(), getpid());
  EXPECT_EQ(thr_win32_is(), 0);
  thr_msleep(0);
  thr_msleep(-5);
  thr_msleep(1);
}

}  // namespace
