// Ending a child after its pipe broke, over the scripted fake host: every path of the decision
// with its virtual timing, the errors posted and the debug texts written, and the explanation
// of a death by signal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "host/host.h"
#include "host/msg.h"
#include "ipc/ipc_command_impl.h"
#include "tests/support/host_environment.h"
#include "tests/support/recording_sink.h"

namespace {

using TEXTS = std::vector<std::string>;
using fake_host::ended;
using fake_host::running;

constexpr unsigned long PID = 42;
const std::string TITLE = "backend";
const std::string COMMAND_LINE = "backend --pipe_name=/fake/pipe1 -x";

std::string named(const std::string& before, const std::string& after = "") {
  return before + TITLE + " (" + std::to_string(PID) + ")" + after;
}

std::string counted(int count) {
  return named("Waiting for ", " to exit after pipe broken, counted to " + std::to_string(count));
}

class BROKEN_PIPE : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_host::reset();
    fake_host::on_wait([this](int) { m_poll_times.push_back(fake_host::clock_ms()); });
  }

  IPC_COMMAND::IMPL::RUN_RESULT decide(bool had_output) {
    return IPC_COMMAND::IMPL::kill_process_for_broken_pipe(PID, COMMAND_LINE, TITLE, had_output);
  }

  // The virtual times of the polls: 500 ms, then one every 200 ms.
  static std::vector<int64_t> poll_times(int polls) {
    std::vector<int64_t> times;
    for (int i = 0; i < polls; ++i) times.push_back(500 + 200 * i);
    return times;
  }

  CAPTURED_MESSAGES messages;
  RECORDING_SINK& posted = messages.posted;
  RECORDING_SINK& debug = messages.debug;
  std::vector<int64_t> m_poll_times;
};

TEST_F(BROKEN_PIPE, AChildThatHasEndedIsCollectedAtTheFirstPoll) {
  fake_host::push_wait(ended(3 << 8, 3));
  const auto [exited, code] = decide(true);
  EXPECT_TRUE(exited);
  EXPECT_EQ(code.status, 3 << 8);
  EXPECT_EQ(code.exit_code, 3);
  EXPECT_EQ(m_poll_times, poll_times(1));
  EXPECT_EQ(fake_host::sleeps(), std::vector<int>{500});
  EXPECT_TRUE(posted.texts().empty());
  EXPECT_EQ(debug.texts(), (TEXTS{named("", " terminated normally"), counted(0)}));
  EXPECT_EQ(fake_host::count("terminate"), 0);
}

TEST_F(BROKEN_PIPE, AChildThatEndsDuringTheGraceIsCollectedWithTheCountOfRunningPolls) {
  fake_host::push_wait(running(), 7);
  fake_host::push_wait(ended(0, 0));
  const auto [exited, code] = decide(true);
  EXPECT_TRUE(exited);
  EXPECT_EQ(code.exit_code, 0);
  EXPECT_EQ(m_poll_times, poll_times(8));
  EXPECT_TRUE(posted.texts().empty());
  EXPECT_EQ(debug.texts(), (TEXTS{named("", " terminated normally"), counted(7)}));
  EXPECT_EQ(fake_host::count("terminate"), 0);
}

TEST_F(BROKEN_PIPE, AChildThatNeverEndsIsTerminatedAfterTwentyPolls) {
  fake_host::push_wait(running());
  const auto [exited, code] = decide(true);
  EXPECT_FALSE(exited);
  EXPECT_EQ(code.exit_code, 1);
  EXPECT_EQ(m_poll_times, poll_times(20));
  EXPECT_EQ(fake_host::clock_ms(), 4500);
  EXPECT_EQ(posted.texts(),
            TEXTS{named("Pipe to ", " broken but process still running, terminating...")});
  EXPECT_EQ(debug.texts(), (TEXTS{named("Successfully terminated "), counted(20)}));
  EXPECT_EQ(fake_host::calls_with_prefix("terminate"), TEXTS{"terminate 42 status=0 exit_code=1"});
  // Nobody waits for the terminated child.
  EXPECT_EQ(fake_host::calls().back(), "terminate 42 status=0 exit_code=1");
}

TEST_F(BROKEN_PIPE, AnUnreachableChildIsGivenUpWithoutTermination) {
  fake_host::push_wait(fake_host::unreachable());
  const auto [exited, code] = decide(true);
  EXPECT_FALSE(exited);
  EXPECT_EQ(code.exit_code, 0);
  EXPECT_EQ(posted.texts(), TEXTS{named("Cannot connect with ", " anymore")});
  EXPECT_EQ(debug.texts(), (TEXTS{"Rogue process!", counted(0)}));
  EXPECT_EQ(fake_host::calls_with_prefix("close_handle"), TEXTS{"close_handle 42"});
  EXPECT_EQ(fake_host::count("terminate"), 0);
}

TEST_F(BROKEN_PIPE, ASilentChildStillRunningIsTerminatedAfterOnePoll) {
  fake_host::push_wait(running());
  const auto [exited, code] = decide(false);
  EXPECT_FALSE(exited);
  EXPECT_EQ(code.exit_code, 1);
  EXPECT_EQ(m_poll_times, poll_times(1));
  EXPECT_EQ(fake_host::sleeps(), std::vector<int>{500});
  EXPECT_EQ(posted.texts(), TEXTS{named("Cannot connect with ")});
  EXPECT_EQ(debug.texts(), (TEXTS{named("Successfully terminated "), counted(0)}));
}

TEST_F(BROKEN_PIPE, ARefusedTerminationIsReportedAndLeavesTheExitCode) {
  fake_host::push_wait(running());
  fake_host::push_terminate(1);
  const auto [exited, code] = decide(false);
  EXPECT_FALSE(exited);
  EXPECT_EQ(code.exit_code, 0);
  EXPECT_EQ(posted.texts(),
            (TEXTS{named("Cannot connect with "), named("", " is not responding")}));
  EXPECT_EQ(debug.texts(), TEXTS{counted(0)});
}

TEST_F(BROKEN_PIPE, ADeathBySignalIsExplainedOnUnixOnly) {
  fake_host::push_wait(ended(0x8B, 0));
  const auto [exited, code] = decide(true);
  EXPECT_TRUE(exited);
  EXPECT_EQ(code.status, 0x8B);
  EXPECT_EQ(code.exit_code, 1);
  EXPECT_EQ(debug.texts(), (TEXTS{COMMAND_LINE + ": died due to signal 11", "Check for core file",
                                  named("", " terminated normally"), counted(0)}));

  // Without the core bit there is no hint about a core file.
  THR_PROCESS_EXIT_CODE killed{9, 0};
  IPC_COMMAND::IMPL::handle_special_unix_exit_status(killed, "cmd");
  EXPECT_EQ(killed.exit_code, 1);
  EXPECT_EQ(debug.texts().back(), "cmd: died due to signal 9");

  // An exit code alone (low byte zero) is no signal.
  THR_PROCESS_EXIT_CODE exit_code{0x0300, 3};
  IPC_COMMAND::IMPL::handle_special_unix_exit_status(exit_code, "cmd");
  EXPECT_EQ(exit_code.status, 0x0300);
  EXPECT_EQ(exit_code.exit_code, 3);

  // A Windows host's status word is not decoded.
  fake_host::set_win32(true);
  const size_t texts_before = debug.texts().size();
  THR_PROCESS_EXIT_CODE windows{0x8B, 0};
  IPC_COMMAND::IMPL::handle_special_unix_exit_status(windows, "cmd");
  EXPECT_EQ(windows.status, 0x8B);
  EXPECT_EQ(windows.exit_code, 0);
  EXPECT_EQ(debug.texts().size(), texts_before);
}

}  // namespace
