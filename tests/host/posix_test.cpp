// The POSIX host layer against the kernel: children's start, descriptors, signals, group, pipes,
// ends and reaping; FIFOs. ipc_run's tests see children's words, output, exit status, failures
// to exec, and FIFO readers that come late, never or do not read, end to end.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/cfg.h"
#include "host/posix/keeper.h"
#include "host/posix/spawn.h"
#include "host/thr_named_pipe.h"
#include "host/thr_process.h"
#include "services/shell_words.h"

namespace {

using ::testing::HasSubstr;

// A child started through the process service, its standard error joining its output.
struct CHILD {
  unsigned long pid = 0, output = 0, input = 0;
  explicit CHILD(const std::string& command_line) {
    THR_SYS_FUNC_STAT_STRUCT stat{};
    auto result = thr_process_create2(command_line, "", &output, &output, &input, &stat);
    EXPECT_TRUE(result.has_value()) << command_line;
    if (result.has_value()) pid = result.value();
  }
};

void close_pipes(const CHILD& child) {
  thr_process_close_pipe(child.output);
  thr_process_close_pipe(child.input);
}

bool before_deadline(std::chrono::steady_clock::time_point started) {
  return std::chrono::steady_clock::now() - started < std::chrono::seconds(60);  // when loaded
}

// Everything the child writes until its output pipe is finished.
std::string read_all(unsigned long pipe) {
  std::string text;
  char buffer[256];
  uint32_t waiting = 0, count = 0;
  for (auto started = std::chrono::steady_clock::now();
       before_deadline(started) && thr_process_peek(pipe, &waiting) == 0;)
    if (waiting > 0 && thr_process_read(pipe, buffer, sizeof buffer, &count) == 0)
      text.append(buffer, count);
    else
      thr_msleep(5);
  return text;
}

int wait_for_end(unsigned long pid, THR_PROCESS_EXIT_CODE* code) {
  int result = 0;
  for (auto started = std::chrono::steady_clock::now();
       before_deadline(started) && (result = thr_process_wait(pid, code, 1)) == 0;)
    thr_msleep(5);
  return result;
}

mode_t mode_of(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// First: a writer gives up waiting early once a child this thread started has ended.
TEST(HostNamedPipe, AFifoInAPrivateDirectoryCarriesWritesWholeAndLeavesNothingBehind) {
  THR_NAMED_PIPE writer("");
  ASSERT_TRUE(writer.create());
  const std::string name = writer.pipe_name, directory = name.substr(0, name.rfind('/'));
  EXPECT_TRUE(S_ISFIFO(mode_of(name)));
  EXPECT_EQ(mode_of(directory) & 0777, 0700u);

  cfg_set_value("thr_named_pipe_connect_timeout", "100");
  EXPECT_FALSE(writer.connect()) << "no reader";
  EXPECT_EQ(writer.error_status, ETIMEDOUT);
  cfg_unset_value("thr_named_pipe_connect_timeout");
  auto reader = std::make_unique<THR_NAMED_PIPE>(name.c_str());
  ASSERT_TRUE(reader->connect_r()) << "the read end opens without a writer";
  char buffer[512];
  EXPECT_EQ(reader->read(buffer, sizeof buffer), 0);
  ASSERT_TRUE(writer.connect());
  EXPECT_EQ(mode_of(name), 0u) << "both ends open: the name is no longer needed";
  EXPECT_EQ(writer.write("Partition 0 is ready", 20), 20);
  ASSERT_EQ(reader->read(buffer, sizeof buffer), 20) << "a small write arrives whole";
  EXPECT_EQ(std::string(buffer, 20), "Partition 0 is ready");
  EXPECT_EQ(reader->read(buffer, sizeof buffer), 0) << "nothing waits: returns at once";
  EXPECT_EQ(reader->error_status, 0);
  reader.reset();
  EXPECT_EQ(writer.write("Finished all partitions", 23), -1) << "and no SIGPIPE";
  EXPECT_EQ(writer.error_status, EPIPE);
  writer.remove();
  EXPECT_EQ(mode_of(directory), 0u);

  std::vector<std::unique_ptr<THR_NAMED_PIPE>> many;  // all listed for removal at the end, or none
  do many.push_back(std::make_unique<THR_NAMED_PIPE>(""));
  while (many.back()->create() && many.size() <= 1024);
  EXPECT_EQ(many.back()->error_status, ENOSPC) << many.size();

  THR_NAMED_PIPE missing("/nonexistent/directory/pipe");
  EXPECT_FALSE(missing.connect_r());
  EXPECT_EQ(missing.read(buffer, sizeof buffer) + missing.write("x", 1), -2) << "not connected";
}

// The text of a start that must fail, or "" when it started.
std::string start_error(const std::string& command_line, const std::string& option) {
  unsigned long output = 0, input = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result = thr_process_create2(command_line, option, &output, &output, &input, &stat);
  if (!result.has_error()) return "";
  EXPECT_NE(stat.os_error, 0) << command_line;
  return std::unique_ptr<BRANTOR_ERROR_MESSAGE>(result.error()->make_error_message())->text();
}

// Waits until the process is reaped, its /proc entry gone.
bool dies(unsigned long pid) {
  for (auto started = std::chrono::steady_clock::now(); before_deadline(started); thr_msleep(20))
    if (access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0) return true;
  return false;
}

TEST(HostProcess, AChildHasNoHostDescriptorDefaultSignalsAnEmptyMaskAndItsOwnGroup) {
  const int inheritable = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  signal(SIGINT, SIG_IGN);
  sigset_t blocked, old_mask;
  sigfillset(&blocked);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  const std::string runs[][2] = {{"ls /proc/self/fd", "0\n1\n2\n3\n"},  // 3 is ls's own directory
                                 {"grep -E '^(Pid|NSpgid|SigBlk|SigIgn):' /proc/self/status",
                                  "Pid:\t(\\d+)\nNSpgid:\t\\1\nSigBlk:\t0+\nSigIgn:\t0+\n"}};
  for (const auto& [command, expected] : runs) {
    const CHILD child(command);
    EXPECT_TRUE(std::regex_match(read_all(child.output), std::regex(expected))) << command;
    THR_PROCESS_EXIT_CODE code{-1, -1};
    EXPECT_EQ(wait_for_end(child.pid, &code), 1);
    close_pipes(child);
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  signal(SIGINT, SIG_DFL);
  close(inheritable);
}

std::string children_of_this_thread() {
  std::ifstream file("/proc/self/task/" + std::to_string(gettid()) + "/children");
  return {std::istreambuf_iterator<char>(file), {}};
}

TEST(HostProcess, ALineOrOptionThatCannotStartIsReportedWithNoChildLeft) {
  const char* step = "";
  ASSERT_EQ(keeper_start(&step), 0) << step;  // the one child meant to stay
  const std::string children_before = children_of_this_thread();
  const std::string failures[][3] = {
      {"no_such_program_on_the_path", "", "\"no_such_program_on_the_path\": No such file"},
      {"pwd", "priority=high", "unknown process option \"priority=high\""},
      {R"(printf "unclosed)", "", "unclosed"},
      {"   ", "", "Cannot split the command line"},
  };
  for (const auto& [command, option, complaint] : failures)
    EXPECT_THAT(start_error(command, option), HasSubstr(complaint)) << command;
  EXPECT_EQ(children_of_this_thread(), children_before) << "no child is left";
}

// A failed step is named with its errno; for a script that exists, its missing interpreter.
TEST(HostProcess, AStartThatFailsNamesTheStepAndTheCause) {
  char directory[] = "/tmp/spawn_test_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string crlf = directory + std::string("/crlf.sh"),
                    lost = directory + std::string("/lost");
  std::ofstream(crlf) << "#!/bin/sh\r\necho hi\r\n";
  std::ofstream(lost) << "#! /no/such/interpreter -x\n";
  const int not_a_directory = open("/dev/null", O_PATH | O_CLOEXEC);
  const struct {
    std::string program;
    int standard_output = SPAWN_INHERIT, directory_fd = -1;
    std::string text{};
  } rows[] = {
      {.program = crlf,
       .text = R"(its interpreter "/bin/sh\r" is missing; the \r at its end comes from Windows )"
               "line ends (CRLF)"},
      {.program = lost, .text = R"(its interpreter "/no/such/interpreter" is missing)"},
      {.program = "true",
       .standard_output = 1 << 20,
       .text = "dup2 onto standard output failed: Bad file descriptor"},
      {.program = "true",
       .directory_fd = not_a_directory,
       .text = "fchdir into the working directory failed: Not a directory"},
  };
  for (auto row : rows) {
    chmod(row.program.c_str(), 0755);
    SPAWN_PLAN plan;
    plan.standard[STDOUT_FILENO] = row.standard_output;
    plan.directory_fd = row.directory_fd;
    char* argv[] = {row.program.data(), nullptr};
    pid_t pid = 0;
    SPAWN_FAILURE failure;
    EXPECT_NE(spawn_process(argv, plan, &pid, &failure), 0) << row.program;
    EXPECT_EQ(spawn_failure_text(failure), row.text);
  }
  close(not_a_directory);
  for (const std::string& path : {crlf, lost, std::string(directory)}) remove(path.c_str());
}

// A script without a #! line runs through sh with its arguments, as execvp would run it.
TEST(HostProcess, AScriptWithoutAnInterpreterLineRunsThroughSh) {
  char directory[] = "/tmp/spawn_test_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string script = directory + std::string("/plain");
  std::ofstream(script) << "echo \"$0\" \"$1\"\n";
  chmod(script.c_str(), 0755);
  const CHILD child(script + " 'an argument'");
  EXPECT_EQ(read_all(child.output), script + " an argument\n");
  THR_PROCESS_EXIT_CODE code{};
  EXPECT_EQ(wait_for_end(child.pid, &code), 1);
  EXPECT_EQ(code.status, 0);
  close_pipes(child);
  for (const std::string& path : {script, std::string(directory)}) remove(path.c_str());
}

// The wrapped text runs as sh -c TEXT does, also with a named pipe's argument put where the
// library puts it, at the first space.
TEST(HostProcess, AShellTextRunsAsShDashCRunsIt) {
  const struct {
    std::string text;
    bool pipe_argument = false;
    std::string printed{};
  } rows[] = {
      {.text = R"(echo "msg_post 0 info one")", .printed = "msg_post 0 info one\n"},
      {.text = R"(printf '%s\n' a\\b "c\\d" 'e\f')", .printed = "a\\b\nc\\d\ne\\f\n"},
      {.text = R"x(echo "$((6*7))" $0 `echo tick` $(echo 'it'\''s'))x",
       .printed = "42 sh tick it's\n"},
      {.text = "echo one\necho \"two\nlines\" # x", .printed = "one\ntwo\nlines\n"},
      {.text = "echo end\\", .printed = "end\\\n"},
      {.text = ""},
      {.text = "echo a b", .pipe_argument = true, .printed = "--pipe_name=/p a b\n"},
  };
  for (const auto& row : rows) {
    std::string line = shell_command_line(row.text);
    if (row.pipe_argument) line.insert(line.find(' '), " --pipe_name=/p");
    const CHILD child(line);
    EXPECT_EQ(read_all(child.output), row.printed) << row.text;
    THR_PROCESS_EXIT_CODE code{};
    EXPECT_EQ(wait_for_end(child.pid, &code), 1);
    close_pipes(child);
  }
}

// A second blocking waiter sleeps while the first waits on the child; one of them collects it.
TEST(HostProcess, BlockingWaitersOfOneChildSleep) {
  const CHILD child("sleep 0.5");
  const std::clock_t started = std::clock();
  std::atomic<int> collected{0};
  std::thread waiters[2];
  for (std::thread& waiter : waiters)
    waiter = std::thread([&] {
      THR_PROCESS_EXIT_CODE code{};
      collected += thr_process_wait(child.pid, &code, 0) == 1;
    });
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(collected, 1);
  EXPECT_LT(std::clock() - started, CLOCKS_PER_SEC / 5) << "processor time while waiting";
  close_pipes(child);
}

unsigned long g_victim = 0;
void terminate_victim(int) { thr_process_terminate(g_victim, THR_PROCESS_EXIT_CODE{0, 0}); }

TEST(HostProcess, PipesEndsAndReapingOfLiveChildrenOnly) {
  THR_PROCESS_EXIT_CODE code{};
  for (unsigned long stranger : {0ul, 1ul, static_cast<unsigned long>(getpid()), ~0ul}) {
    EXPECT_EQ(thr_process_wait(stranger, &code, 1), -1) << stranger;
    EXPECT_NE(thr_process_terminate(stranger, code), 0) << stranger;
  }
  const CHILD forgotten("echo bye");
  EXPECT_EQ(read_all(forgotten.output), "bye\n");
  thr_process_close_handle(forgotten.pid);
  EXPECT_EQ(thr_process_wait(forgotten.pid, &code, 1), -1);

  // A group whose grandchild holds the output pipe, killed directly; a sleeper that closed its
  // output, killed from a signal handler, stays waitable for its caller.
  const CHILD group("sh -c 'sleep 600 & echo $!; wait'");
  const CHILD sleeper("sh -c 'exec >&- 2>&- sleep 600'");
  char started[32];
  uint32_t count = 0;  // sh has started its sleep once it echoes
  EXPECT_EQ(thr_process_read(group.output, started, sizeof started, &count), 0);
  EXPECT_EQ(thr_process_terminate(group.pid, code), 0);
  EXPECT_EQ(read_all(sleeper.output), "");
  uint32_t waiting = 7;
  EXPECT_NE(thr_process_peek(sleeper.output, &waiting), 0) << "the end, seen while it runs";
  EXPECT_EQ(waiting, 0u);
  EXPECT_EQ(thr_process_wait(sleeper.pid, &code, 1), 0);
  g_victim = sleeper.pid;
  struct sigaction action = {}, old = {};
  action.sa_handler = terminate_victim;
  sigaction(SIGUSR1, &action, &old);
  raise(SIGUSR1);
  sigaction(SIGUSR1, &old, nullptr);
  ASSERT_EQ(wait_for_end(sleeper.pid, &code), 1);
  EXPECT_EQ(code.status & 0x7f, SIGKILL);
  EXPECT_EQ(thr_process_wait(sleeper.pid, &code, 1), -1) << "collected ids are forgotten";
  EXPECT_NE(thr_process_terminate(sleeper.pid, code), 0);

  // SIGPIPE stays at its default here: a raised one would end the test program.
  EXPECT_NE(thr_process_write(sleeper.input, "x", 1, &count), 0) << "the reader has ended";
  close_pipes(sleeper);
  EXPECT_NE(thr_process_peek(sleeper.output, &waiting), 0) << "closed handle";
  const CHILD cat("cat");  // may get the closed handle's descriptor number
  EXPECT_NE(thr_process_write(sleeper.input, "x", 1, &count), 0) << "closed handle";
  EXPECT_NE(cat.input, sleeper.input);
  thr_process_close_pipe(cat.input);
  EXPECT_EQ(read_all(cat.output), "") << "cat saw its input end";
  EXPECT_EQ(wait_for_end(cat.pid, &code), 1);

  EXPECT_EQ(read_all(group.output), "");
  EXPECT_NE(thr_process_peek(group.output, &waiting), 0) << "the sleep that held it is gone too";
  EXPECT_TRUE(dies(forgotten.pid));
  EXPECT_TRUE(dies(group.pid)) << "reaped after a grace for its caller's wait";
  EXPECT_EQ(thr_process_wait(group.pid, &code, 1), -1);
  for (const CHILD& child : {forgotten, group, cat}) close_pipes(child);
}

// Also what runs at exit.
TEST(HostEndDeathTest, EndingEverythingRemovesUnopenedFifosAndLetsNoChildStartAfter) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto end_everything = [] {
    THR_NAMED_PIPE unopened("");
    if (!unopened.create()) std::_Exit(2);
    const std::string name = unopened.pipe_name;
    thr_process_terminate_all();
    const bool removed = mode_of(name.substr(0, name.rfind('/'))) == 0;
    std::_Exit(removed && !start_error("true", "").empty() ? 0 : 1);
  };
  EXPECT_EXIT(end_everything(), ::testing::ExitedWithCode(0), "");
}

// True once pid is gone or a zombie.
bool ended(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string line;
  std::getline(stat, line);
  return line.empty() || line.substr(line.rfind(')') + 2, 1) == "Z";
}

// The host started a child from a thread that ended, which the child survives; then it is
// SIGKILLed. Its report: the child, its grandchild, the keeper, the FIFO.
void host_killed_after_its_thread_ended(const std::string& report) {
  std::string listed, fifo;
  std::thread([&] {
    const CHILD child(std::string(IPC_CHILDREN_DIR) + "/sleep_forever --grandchild");
    char grandchild[32] = {};
    uint32_t count = 0;
    thr_process_read(child.output, grandchild, sizeof grandchild - 1, &count);
    auto* pipe = new THR_NAMED_PIPE("");  // never removed by the host
    fifo = pipe->create() ? pipe->pipe_name : "";
    listed = std::to_string(child.pid) + " " + grandchild;
  }).join();
  thr_msleep(200);  // a death signal of the ended thread would have come by now
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream children(task.path() / "children");  // the child, the keeper
    listed += " " + std::string(std::istreambuf_iterator<char>(children), {});
  }
  std::istringstream pids(listed);
  for (std::string pid; pids >> pid;)
    if (ended(pid)) std::_Exit(1);
  std::ofstream(report) << fifo << "\n" << listed;
  kill(getpid(), SIGKILL);
}

TEST(HostEndDeathTest, AKilledHostLeavesNoProcessOfItsChildrensGroupsAndNoFifo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto report = [](pid_t test) { return "/tmp/killed_host_" + std::to_string(test); };
  EXPECT_EXIT(host_killed_after_its_thread_ended(report(getppid())),
              ::testing::KilledBySignal(SIGKILL), "");
  std::ifstream file(report(getpid()));
  std::string fifo, pid;
  ASSERT_TRUE(std::getline(file, fifo) && !fifo.empty());
  while (file >> pid) {
    for (auto started = std::chrono::steady_clock::now(); before_deadline(started) && !ended(pid);)
      thr_msleep(20);
    EXPECT_TRUE(ended(pid)) << pid;
  }
  EXPECT_EQ(mode_of(fifo.substr(0, fifo.rfind('/'))), 0u) << fifo;
  remove(report(getpid()).c_str());
}

}  // namespace
