// However ipc_run ends, no process it started survives it and nothing of it stays in $TMPDIR.
// Every process of a run carries a marker in its environment, so survivors are found in /proc.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;
using CLOCK = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string CHILDREN = IPC_CHILDREN_DIR;
const std::string FOREVER = CHILDREN + "/sleep_forever";

enum class ACTION { NONE, SIGNAL, SIGNAL_TWICE, CLOSE_OUTPUT };

struct ENDING {
  const char* name;
  std::vector<std::string> args;
  ACTION action;
  int signal;
  int status;                       // exit status, or 128 + the signal that ended ipc_run
  double seconds;                   // from the action (or the start) to ipc_run's end, at most
  std::string in_stderr;            // expected there, when not empty
  const char* trigger = "started";  // the action comes once standard output holds this
};

struct OUTCOME {
  int status = -1;
  double seconds = 0;
  std::string out;
  std::string err;
};

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Command lines of the live (not zombie) processes whose environment holds marker.
std::vector<std::string> marked_processes(const std::string& marker) {
  std::vector<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (read_file("/proc/" + pid + "/environ").find(marker) == std::string::npos) continue;
    std::string command = read_file("/proc/" + pid + "/cmdline");
    for (char& c : command) c = c == '\0' ? ' ' : c;
    found.push_back(pid + ": " + command);
  }
  return found;
}

// Kills already happened when ipc_run ended; dying takes the kernel a moment.
std::vector<std::string> survivors(const std::string& marker) {
  const auto deadline = CLOCK::now() + std::chrono::seconds(1);
  std::vector<std::string> left = marked_processes(marker);
  while (!left.empty() && CLOCK::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    left = marked_processes(marker);
  }
  return left;
}

class Endings : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = fs::path(::testing::TempDir()) / ("ipc_endings_" + std::to_string(getpid()));
    fs::remove_all(m_root);
    fs::create_directories(m_root / "tmp");
  }
  void TearDown() override { fs::remove_all(m_root); }

  // A backend that starts a grandchild in its process group, says "started" and goes on with
  // tail (sleep_forever, which opens a named pipe it is given, or ends at once when empty).
  std::string backend(const std::string& name, const std::string& tail) {
    const fs::path path = m_root / name;
    std::ofstream(path) << "#!/bin/sh\n"
                        << FOREVER << " --close-output &\n"
                        << "echo msg_post 0 info started\n"
                        << tail << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }

  // A pool helper that opens its pipes, then does what script says.
  static std::string helper(const std::string& script) {
    return "sh -c 'exec 3<\"${2#--read_pipe=}\" 4>\"${3#--write_pipe=}\"; " + script + "' helper";
  }

  OUTCOME run(const ENDING& ending, const std::string& marker) {
    int in[2], out[2], err[2];  // the input stays open: only ipc_run may end the child's
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> words{IPC_RUN_PATH};
    words.insert(words.end(), ending.args.begin(), ending.args.end());
    std::vector<std::string> environment{marker, "TMPDIR=" + (m_root / "tmp").string()};
    for (char** variable = environ; *variable != nullptr; ++variable)
      if (std::string(*variable).rfind("TMPDIR=", 0) != 0) environment.push_back(*variable);
    std::vector<char*> argv, envp;
    for (std::string& word : words) argv.push_back(word.data());
    for (std::string& variable : environment) envp.push_back(variable.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, IPC_RUN_PATH, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);

    OUTCOME outcome;
    bool acted = ending.action == ACTION::NONE;
    auto since = CLOCK::now();
    int open_count = 2;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (open_count > 0) {
      poll(fds, 2, 50);
      for (pollfd& fd : fds) {
        char buffer[4096];
        ssize_t n =
            fd.fd >= 0 && (fd.revents & (POLLIN | POLLHUP)) ? read(fd.fd, buffer, 4096) : -1;
        if (n > 0) (fd.fd == out[0] ? outcome.out : outcome.err).append(buffer, n);
        if (n == 0) {
          close(fd.fd);
          fd.fd = -1;
          --open_count;
        }
      }
      if (!acted && outcome.out.find(ending.trigger) != std::string::npos) {
        acted = true;
        since = CLOCK::now();
        if (ending.action == ACTION::CLOSE_OUTPUT) {
          close(fds[0].fd);
          fds[0].fd = -1;
          --open_count;
        } else {
          kill(pid, ending.signal);
        }
        if (ending.action == ACTION::SIGNAL_TWICE) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          kill(pid, ending.signal);
        }
      }
      if (CLOCK::now() - since > std::chrono::seconds(30)) {
        ADD_FAILURE() << ending.name << ": ipc_run did not end";
        kill(pid, SIGKILL);
        break;  // its output may be held open by a survivor
      }
    }
    for (int fd : {fds[0].fd, fds[1].fd, in[1]})
      if (fd >= 0) close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.seconds = std::chrono::duration<double>(CLOCK::now() - since).count();
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
  }

  fs::path m_root;
};

TEST_F(Endings, NoProcessAndNoFileOutlivesIpcRun) {
  const std::string ends = backend("ends.sh", "");
  const std::string runs = backend("runs.sh", "exec " + FOREVER + " \"$@\"");
  const std::string floods = backend("floods.sh", "exec yes 'msg_post 0 info {x}'");
  const std::string shell_runs = runs + " x";
  const std::vector<std::string> piped = {"--named-pipe", "--", runs, "x"};
  const std::vector<std::string> pool = {"--pool", "2:4", "--helper"};
  const std::vector<ENDING> endings = {
      {"normal end", {"--", ends}, ACTION::NONE, 0, 0, 10, ""},
      {"child that reads its input", {"--plain", "--", "cat"}, ACTION::NONE, 0, 0, 3, ""},
      {"Ctrl-C", piped, ACTION::SIGNAL, SIGINT, 130, 1, ""},
      {"Ctrl-C twice", piped, ACTION::SIGNAL_TWICE, SIGINT, 130, 1, ""},
      {"SIGHUP", piped, ACTION::SIGNAL, SIGHUP, 129, 1, ""},
      {"SIGTERM", piped, ACTION::SIGNAL, SIGTERM, 1, 1, ""},
      {"SIGTERM, system shell",
       {"--set", "ipc_use_system=1", "--named-pipe", "-c", shell_runs},
       ACTION::SIGNAL,
       SIGTERM,
       1,
       1,
       ""},
      {"Ctrl-C, system shell",
       {"--set", "ipc_use_system=1", "-c", shell_runs},
       ACTION::SIGNAL,
       SIGINT,
       130,
       1,
       ""},
      {"standard output closed", {"--", floods}, ACTION::CLOSE_OUTPUT, 0, 141, 3, ""},
      {"failed connect", {"--named-pipe", "--", "true", "x"}, ACTION::NONE, 0, 125, 3, ""},
      {"internal error",
       {"--pool", "1:4", "--helper", helper("printf \"Helper 9 is done\" >&4; exec sleep 30"), "--",
        runs},
       ACTION::NONE,
       0,
       128 + SIGABRT,
       10,
       "INTERNAL ERROR: process_id == i"},
      {"crashed pool helper",
       {"--pool", "2:4", "--helper", helper("sleep 0.5; kill -SEGV $$"), "--", runs},
       ACTION::NONE,
       0,
       125,
       3,
       "was killed by signal 11"},
      {"SIGKILL", piped, ACTION::SIGNAL, SIGKILL, 128 + SIGKILL, 1, ""},
  };
  for (size_t i = 0; i < endings.size(); ++i) {
    const ENDING& ending = endings[i];
    const std::string marker =
        "IPC_ENDINGS_MARK=" + std::to_string(getpid()) + "_" + std::to_string(i);
    const OUTCOME outcome = run(ending, marker);
    EXPECT_EQ(outcome.status, ending.status) << ending.name << "\n" << outcome.err;
    EXPECT_LT(outcome.seconds, ending.seconds) << ending.name;
    if (!ending.in_stderr.empty()) {
      EXPECT_THAT(outcome.err, HasSubstr(ending.in_stderr)) << ending.name;
    }
    std::vector<std::string> left = survivors(marker);
    if (ending.signal == SIGKILL) {  // nothing can act then but the children themselves
      for (const std::string& process : left) {
        EXPECT_THAT(process, HasSubstr("--close-output")) << "a direct child survived";
        kill(std::stoi(process), SIGKILL);
      }
    } else {
      EXPECT_THAT(left, ::testing::IsEmpty()) << ending.name;
    }
    EXPECT_TRUE(fs::is_empty(m_root / "tmp"))
        << ending.name << ": $TMPDIR holds " << fs::directory_iterator(m_root / "tmp")->path();
    for (const fs::directory_entry& entry : fs::directory_iterator(m_root / "tmp"))
      fs::remove_all(entry);
  }
}

TEST_F(Endings, BroadcastToAChildThatDoesNotReadFailsWithinTheWriteBoundWhileTheRunGoesOn) {
  // sleep_forever opens the named pipe it is given and never reads it.
  const std::string broadcast =
      "after 200 {set t [clock milliseconds]; set ok [ipc_send [string repeat x 1048576]];"
      " puts \"sent=$ok after [expr {[clock milliseconds] - $t}] ms\"; flush stdout;"
      " after 100 {puts alive; flush stdout}}";
  const ENDING ending{"broadcast",
                      {"--named-pipe", "--set", "thr_named_pipe_write_timeout=300", "--eval",
                       broadcast, "--", FOREVER, "x"},
                      ACTION::SIGNAL,
                      SIGINT,
                      130,
                      1,
                      "",
                      "alive"};
  const std::string marker = "IPC_ENDINGS_MARK=" + std::to_string(getpid()) + "_broadcast";
  const OUTCOME outcome = run(ending, marker);
  EXPECT_EQ(outcome.status, 130) << "the run went on until it was stopped\n" << outcome.err;
  int milliseconds = -1;
  ASSERT_EQ(std::sscanf(outcome.out.c_str(), "sent=0 after %d ms", &milliseconds), 1)
      << outcome.out;
  EXPECT_GE(milliseconds, 300);
  EXPECT_LT(milliseconds, 10000) << "bounded by the setting, not by the child";
  EXPECT_THAT(survivors(marker), ::testing::IsEmpty());
}

}  // namespace
