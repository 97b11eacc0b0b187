// Whole runs with real children over the real host layer: what the caller gets back, what other
// threads see and can do while the child runs, stopping, the shell path and the run's named pipe.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/cfg.h"
#include "host/host.h"
#include "ipc/ipc_command_impl.h"
#include "tests/support/host_environment.h"

namespace {

using LINES = std::vector<std::string>;
using STATUSES = std::vector<IPC_PROCESS_STATUS>;

std::string child(const std::string& name_and_arguments) {
  return std::string(IPC_CHILDREN_DIR) + "/" + name_and_arguments;
}

// Records the lines it is given; the run thread writes them while others may read.
class LINE_RECORDER : public IPC_COMMAND {
 public:
  void process_line(const std::string& line) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
  }
  LINES lines() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
  }
  bool wait_for_line(const std::string& line) {
    for (int i = 0; i < 10000; ++i) {
      for (const std::string& seen : lines())
        if (seen == line) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  std::mutex m_mutex;
  LINES m_lines;
};

// Follows a command's status from another thread, as a waiting caller would, and calls
// on_running there once the child runs. The first status is taken before the constructor returns.
class STATUS_WATCHER {
 public:
  explicit STATUS_WATCHER(IPC_COMMAND& command, std::function<void()> on_running = {}) {
    m_thread = std::thread([this, &command, on_running] {
      IPC_PROCESS_STATUS last = command.get_process_status(0);
      m_seen.push_back(last);
      m_first_seen.set_value();
      while (last != FINISHED && last != FAILED) {
        const IPC_PROCESS_STATUS now = command.get_process_status(5);
        if (now == last) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        m_seen.push_back(last = now);
        if (now == RUNNING && on_running) on_running();
      }
    });
    m_first_seen.get_future().wait();
  }
  ~STATUS_WATCHER() {
    if (m_thread.joinable()) m_thread.join();
  }
  STATUS_WATCHER(const STATUS_WATCHER&) = delete;
  STATUS_WATCHER& operator=(const STATUS_WATCHER&) = delete;
  STATUSES seen() {
    m_thread.join();
    return m_seen;
  }

 private:
  std::promise<void> m_first_seen;
  std::thread m_thread;
  STATUSES m_seen;
};

const STATUSES NORMAL_LIFE{NOT_STARTED, RUNNING, FINISHED};

TEST(Run, ExitCodeAndRawStatusReachTheCallerWhileOthersSeeTheStatusMove) {
  LINE_RECORDER exits;
  STATUS_WATCHER watcher(exits);
  THR_PROCESS_EXIT_CODE code{-1, -1};
  EXPECT_TRUE(exits.run(child("exit_with 3"), "", false, &code, "", false));
  EXPECT_EQ(code.status, 3 << 8);
  EXPECT_EQ(code.exit_code, 3);
  EXPECT_EQ(watcher.seen(), NORMAL_LIFE);

  LINE_RECORDER dies;
  code = THR_PROCESS_EXIT_CODE{-1, -1};
  EXPECT_TRUE(dies.run(child("exit_with -15"), "", false, &code, "", false));
  EXPECT_EQ(code.status, SIGTERM);
  EXPECT_EQ(code.exit_code, 1) << "a death by signal counts as a failure";
}

TEST(Run, AnotherThreadWritesToTheChildThenTerminatesIt) {
  LINE_RECORDER command;
  std::atomic<int32_t> written{-1};
  std::atomic<bool> echoed{false};
  std::atomic<bool> terminated{false};
  STATUS_WATCHER watcher(command, [&] {
    written = command.write_to_stdin("hello child\n", 12);
    echoed = command.wait_for_line("hello child");
    terminated = command.terminate(THR_PROCESS_EXIT_CODE{0, 0});
  });
  THR_PROCESS_EXIT_CODE code{-1, -1};
  // echo_stdin only ends when its input does, which the library closes after the run.
  EXPECT_TRUE(command.run(child("echo_stdin"), "", false, &code, "", false));
  EXPECT_EQ(watcher.seen(), NORMAL_LIFE);
  EXPECT_EQ(written, 12);
  EXPECT_TRUE(echoed);
  EXPECT_TRUE(terminated);
  EXPECT_EQ(code.status, SIGKILL);
  EXPECT_EQ(command.lines(), (LINES{"hello child", ""})) << "with the final flush's empty line";
}

// Asks to stop once it has seen a few lines, and remembers how many it had then.
class STOPS_AFTER_THREE : public LINE_RECORDER {
 public:
  bool is_stopped() override {
    if (stopped_at == 0 && lines().size() >= 3) stopped_at = lines().size();
    return stopped_at != 0;
  }
  size_t stopped_at = 0;
};

TEST(Run, StopRequestEndsTheRunWithNoLaterLineProcessed) {
  STOPS_AFTER_THREE command;
  THR_PROCESS_EXIT_CODE code{-1, -1};
  EXPECT_TRUE(command.run(child("write_lines 0 1000"), "", false, &code, "", false));
  EXPECT_EQ(code.status, 0);
  EXPECT_EQ(code.exit_code, 0);
  EXPECT_EQ(command.get_process_status(0), FINISHED);
  const LINES lines = command.lines();
  ASSERT_GE(command.stopped_at, 3u);
  ASSERT_EQ(lines.size(), command.stopped_at) << "nothing is read or flushed after the request";
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i + 1));
}

TEST(Run, SystemShellSucceedsWithTheShellsStatusAndNothingToTerminate) {
  cfg_set_value("ipc_use_system", "on");
  LINE_RECORDER command;
  std::atomic<int> terminated{-1};
  STATUS_WATCHER watcher(command, [&] { terminated = command.terminate({0, 0}) ? 1 : 0; });
  THR_PROCESS_EXIT_CODE code{-1, -1};
  EXPECT_TRUE(command.run(child("exit_with 3 300"), "", false, &code, "", false));
  EXPECT_EQ(watcher.seen(), NORMAL_LIFE);
  EXPECT_EQ(terminated, 0) << "the shell's child is not the command's to terminate";
  EXPECT_EQ(code.status, 3 << 8);
  EXPECT_EQ(code.exit_code, 3);
  cfg_unset_value("ipc_use_system");
}

// Answers the child's "ready" with a line through the run's named pipe.
class PIPE_TALKER : public LINE_RECORDER {
 public:
  void process_line(const std::string& line) override {
    LINE_RECORDER::process_line(line);
    if (line.compare(0, 6, "ready ") != 0) return;
    pipe_path = line.substr(6);
    sent = send_through_pipe("hello\n");
  }
  std::string pipe_path;
  bool sent = false;
};

TEST(Run, NamedPipeWithoutThePoolReachesTheChildAndIsRemovedAfterwards) {
  PIPE_TALKER command;
  THR_PROCESS_EXIT_CODE code{-1, -1};
  EXPECT_TRUE(command.run_with_named_pipe(child("pipe_reader extra"), "", false, &code, "reader",
                                          true, false, nullptr, nullptr, 0, 0));
  EXPECT_EQ(code.exit_code, 0);
  EXPECT_TRUE(command.sent);
  ASSERT_FALSE(command.pipe_path.empty());
  EXPECT_EQ(command.lines(), (LINES{"ready " + command.pipe_path, "got hello", ""}));
  EXPECT_NE(access(command.pipe_path.c_str(), F_OK), 0);
  EXPECT_TRUE(ipc_named_pipes.empty());
}

TEST(RunDeathTest, SecondRunOfTheSameObjectIsAnInternalError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  LINE_RECORDER command;
  ASSERT_TRUE(command.run(child("print_args once"), "", false, nullptr, "", false));
  EXPECT_DEATH(command.run(child("print_args twice"), "", false, nullptr, "", false),
               "INTERNAL ERROR: IPC_COMMAND objects are strictly single-use! "
               "\\(IPC ipc/ipc_command:604\\)");
}

}  // namespace
