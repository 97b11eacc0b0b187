// The SIGTERM handler with real children. Every case runs in a fresh process (death-test style
// "threadsafe"), since the handler's installation is process-wide and never undone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/msg.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

std::atomic<int> host_handler_calls{0};
std::atomic<int> host_handler_signal{0};

void host_handler(int signal_number) {
  host_handler_signal = signal_number;
  ++host_handler_calls;
}

void other_handler(int) {}

using HANDLER = void (*)(int);

HANDLER current_sigterm_disposition() {
  struct sigaction action {};
  sigaction(SIGTERM, nullptr, &action);
  return action.sa_handler;
}

// The handler prints to standard output; death tests see standard error only.
void send_stdout_to_stderr() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

// The plain-mode runs post their final empty line; the tests look only at the handler's texts.
class DISCARDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD&) override {}
};
// Never destroyed: exit runs static destructors while the runs' threads may still post.
DISCARDING_SINK& discarding_sink = *new DISCARDING_SINK;

// Captures standard output in a pipe; at exit, compares it with the handler's texts for this
// process's own pid and says on standard error whether they match.
int captured_stdout = -1;

void compare_captured_output_at_exit() {
  std::fflush(stdout);
  char buffer[256] = {};
  const ssize_t size = read(captured_stdout, buffer, sizeof buffer - 1);
  const std::string expected =
      "Terminating backend processes...\nExiting (pid==" + std::to_string(getpid()) + ")...\n";
  std::fprintf(stderr, "%s\n", size > 0 && expected == buffer ? "texts match" : "texts differ");
}

void capture_stdout_until_exit() {
  int ends[2];
  if (pipe2(ends, O_NONBLOCK) != 0) std::_Exit(92);
  std::fflush(stdout);
  dup2(ends[1], STDOUT_FILENO);
  captured_stdout = ends[0];
  std::atexit(compare_captured_output_at_exit);
}

// A command running a child that only SIGKILL ends, on a thread of its own.
class RUNNING_CHILD {
 public:
  RUNNING_CHILD() {
    msg_set_default_sink(&discarding_sink);
    m_command.disable_tcl_mode();
    m_command.disable_gui_update();
    m_thread = std::thread([this] {
      m_command.run(std::string(IPC_CHILDREN_DIR) + "/sleep_forever", "", false, nullptr, "",
                    false);
    });
    IPC_PROCESS_STATUS status = NOT_STARTED;
    while ((status = m_command.get_process_status(100)) == NOT_STARTED) {
    }
    if (status != RUNNING) std::_Exit(90);
  }
  ~RUNNING_CHILD() {
    if (m_thread.joinable()) m_thread.join();
  }
  // Returns once the run has ended, which it does only when its child was killed.
  void wait_for_the_run_to_end() { m_thread.join(); }

 private:
  IPC_COMMAND m_command;
  std::thread m_thread;
};

class Signal : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Signal, LiveChildrenAreTerminatedThenTheHostHandlerRunsAndTheProcessGoesOn) {
  EXPECT_EXIT(
      {
        send_stdout_to_stderr();
        signal(SIGTERM, host_handler);
        RUNNING_CHILD first;
        RUNNING_CHILD second;
        raise(SIGTERM);
        first.wait_for_the_run_to_end();
        second.wait_for_the_run_to_end();
        std::fprintf(stderr, "host handler: %d calls, signal %d\n", host_handler_calls.load(),
                     host_handler_signal.load());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^Terminating backend processes...\nhost handler: 1 calls, signal 15\n$");
}

TEST_F(Signal, WithoutAnEarlierHandlerItPrintsTheRealPidAndExitsWithOne) {
  // After one construction the saved disposition is null; after several it is the handler itself.
  for (int constructions : {1, 3}) {
    EXPECT_EXIT(
        {
          capture_stdout_until_exit();
          signal(SIGTERM, SIG_DFL);
          for (int i = 1; i < constructions; ++i) IPC_COMMAND passing_by;
          RUNNING_CHILD child;
          raise(SIGTERM);
          std::_Exit(91);
        },
        ::testing::ExitedWithCode(1), "^texts match\n$");
  }
}

TEST_F(Signal, InstallationRepeatsOnlyWhileTheSavedDispositionIsNull) {
  EXPECT_EXIT(
      {
        signal(SIGTERM, SIG_DFL);
        { IPC_COMMAND first; }
        if (current_sigterm_disposition() != ipc_signal_handler) std::_Exit(10);
        // The first construction saved null, so the next one installs again and saves this.
        signal(SIGTERM, host_handler);
        { IPC_COMMAND second; }
        if (current_sigterm_disposition() != ipc_signal_handler) std::_Exit(11);
        signal(SIGTERM, other_handler);
        { IPC_COMMAND third; }
        if (current_sigterm_disposition() != other_handler) std::_Exit(12);
        ipc_signal_handler(SIGTERM);
        std::_Exit(host_handler_calls == 1 && host_handler_signal == SIGTERM ? 0 : 13);
      },
      ::testing::ExitedWithCode(0), "");

  EXPECT_EXIT(
      {
        signal(SIGTERM, SIG_DFL);
        { IPC_COMMAND first; }
        { IPC_COMMAND second; }  // saves the library's own handler
        signal(SIGTERM, other_handler);
        { IPC_COMMAND third; }
        std::_Exit(current_sigterm_disposition() == other_handler ? 0 : 14);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Signal, AfterEveryCommandIsGoneTheTextIsStillPrintedAndTheChainFollows) {
  EXPECT_EXIT(
      {
        send_stdout_to_stderr();
        signal(SIGTERM, host_handler);
        { IPC_COMMAND gone; }
        raise(SIGTERM);
        std::_Exit(host_handler_calls == 1 ? 0 : 20);
      },
      ::testing::ExitedWithCode(0), "^Terminating backend processes...\n$");
}

TEST_F(Signal, SigintAlwaysExitsAndOtherNumbersDoNothing) {
  EXPECT_EXIT(
      {
        send_stdout_to_stderr();
        signal(SIGTERM, host_handler);
        IPC_COMMAND command;
        ipc_signal_handler(SIGUSR1);
        ipc_signal_handler(SIGHUP);
        std::fprintf(stderr, "still here\n");
        ipc_signal_handler(SIGINT);
        std::_Exit(30);
      },
      ::testing::ExitedWithCode(1),
      "^still here\nTerminating backend processes...\nExiting \\(pid==[0-9]+\\)...\n$");
}

TEST_F(Signal, AnIgnoredEarlierDispositionIsNeverCalled) {
  EXPECT_EXIT(
      {
        send_stdout_to_stderr();
        signal(SIGTERM, SIG_IGN);
        RUNNING_CHILD child;
        raise(SIGTERM);
        child.wait_for_the_run_to_end();
        std::fprintf(stderr, "went on\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^Terminating backend processes...\nwent on\n$");
}

void lock_registry_at_exit() {
  ipc_command_global_state_mutex.lock();
  ipc_command_global_state_mutex.unlock();
}

TEST_F(Signal, NeitherTheSignalledLockHolderNorExitHandlersThatLockHang) {
  EXPECT_EXIT(
      {
        signal(SIGTERM, host_handler);
        IPC_COMMAND command;
        ipc_command_global_state_mutex.lock();
        raise(SIGTERM);
        ipc_command_global_state_mutex.unlock();
        std::_Exit(host_handler_calls == 1 ? 0 : 40);
      },
      ::testing::ExitedWithCode(0), "");

  EXPECT_EXIT(
      {
        signal(SIGTERM, SIG_DFL);
        std::atexit(lock_registry_at_exit);
        IPC_COMMAND command;
        raise(SIGTERM);
        std::_Exit(41);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
