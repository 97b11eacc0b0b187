// Ending a child after its pipe broke, over the scripted fake host: each row scripts the child's
// answers and expects the outcome, the virtual time of the polls, the calls, and the texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"
#include "tests/support/host_environment.h"
#include "tests/support/recording_sink.h"

namespace {

using TEXTS = std::vector<std::string>;
using fake_host::ended;
using fake_host::running;
using fake_host::WAIT_RESULT;

const std::string COMMAND_LINE = "backend --pipe_name=/fake/pipe1 -x";
const std::string ENDED = "backend (42) terminated normally";
const std::string TERMINATED = "Successfully terminated backend (42)";
std::string counted(int count) {
  return "Waiting for backend (42) to exit after pipe broken, counted to " + std::to_string(count);
}

TEST(BrokenPipe, EachAnswerOfTheChildLeadsToItsEnd) {
  const struct {
    const char* name;
    std::vector<WAIT_RESULT> waits;  // the last one repeats
    int terminate_result;
    bool had_output;
    bool exited;
    THR_PROCESS_EXIT_CODE code;
    int polls;  // at 500 ms, then every 200 ms
    TEXTS posted, debug, ending_calls;
  } rows[] = {
      {"ended at the first poll",
       {ended(3 << 8, 3)},
       0,
       true,
       true,
       {3 << 8, 3},
       1,
       {},
       {ENDED, counted(0)},
       {"wait 42 nohang=1"}},
      {"ended during the grace",
       {running(), running(), running(), ended(0, 0)},
       0,
       true,
       true,
       {0, 0},
       4,
       {},
       {ENDED, counted(3)},
       {"sleep 200", "wait 42 nohang=1"}},
      {"never ends",
       {running()},
       0,
       true,
       false,
       {0, 1},
       20,
       {"Pipe to backend (42) broken but process still running, terminating..."},
       {TERMINATED, counted(20)},
       {"sleep 200", "terminate 42 status=0 exit_code=1"}},
      {"unreachable",
       {fake_host::unreachable()},
       0,
       true,
       false,
       {0, 0},
       1,
       {"Cannot connect with backend (42) anymore"},
       {"Rogue process!", counted(0)},
       {"wait 42 nohang=1", "close_handle 42"}},
      {"silent and running",
       {running()},
       0,
       false,
       false,
       {0, 1},
       1,
       {"Cannot connect with backend (42)"},
       {TERMINATED, counted(0)},
       {"wait 42 nohang=1", "terminate 42 status=0 exit_code=1"}},
      {"refuses to be terminated",
       {running()},
       1,
       false,
       false,
       {0, 0},
       1,
       {"Cannot connect with backend (42)", "backend (42) is not responding"},
       {counted(0)},
       {"wait 42 nohang=1", "terminate 42 status=0 exit_code=1"}},
      {"killed by a signal, with core",
       {ended(0x8B, 0)},
       0,
       true,
       true,
       {0x8B, 1},
       1,
       {},
       {COMMAND_LINE + ": died due to signal 11", "Check for core file", ENDED, counted(0)},
       {"wait 42 nohang=1"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fake_host::reset();
    CAPTURED_MESSAGES messages;
    std::vector<int64_t> poll_times;
    fake_host::on_wait([&](int) { poll_times.push_back(fake_host::clock_ms()); });
    for (const WAIT_RESULT& answer : row.waits) fake_host::push_wait(answer);
    fake_host::push_terminate(row.terminate_result);

    const auto [exited, code] = IPC_COMMAND::IMPL::kill_process_for_broken_pipe(
        42, COMMAND_LINE, "backend", row.had_output);
    EXPECT_EQ(exited, row.exited);
    EXPECT_EQ(code.status, row.code.status);
    EXPECT_EQ(code.exit_code, row.code.exit_code);
    std::vector<int64_t> expected_times;
    for (int i = 0; i < row.polls; ++i) expected_times.push_back(500 + 200 * i);
    EXPECT_EQ(poll_times, expected_times);
    EXPECT_EQ(messages.posted.texts(), row.posted);
    EXPECT_EQ(messages.debug.texts(), row.debug);
    const TEXTS calls = fake_host::calls();
    EXPECT_EQ(TEXTS(calls.end() - std::min(calls.size(), row.ending_calls.size()), calls.end()),
              row.ending_calls)
        << "the last calls; nobody waits for a terminated child";
    const bool terminates = row.ending_calls.back().rfind("terminate", 0) == 0;
    EXPECT_EQ(fake_host::count("terminate"), terminates ? 1 : 0);
  }
}

TEST(BrokenPipe, OnlyAUnixStatusWithTerminationBitsIsADeathBySignal) {
  const struct {
    bool windows;
    THR_PROCESS_EXIT_CODE before, after;
    TEXTS debug;
  } rows[] = {
      {false, {9, 0}, {9, 1}, {"cmd: died due to signal 9"}},
      {false, {0x0300, 3}, {0x0300, 3}, {}},
      {true, {0x8B, 0}, {0x8B, 0}, {}},
  };
  for (const auto& row : rows) {
    fake_host::reset();
    fake_host::set_win32(row.windows);
    CAPTURED_MESSAGES messages;
    THR_PROCESS_EXIT_CODE code = row.before;
    IPC_COMMAND::IMPL::handle_special_unix_exit_status(code, "cmd");
    EXPECT_EQ(code.status, row.after.status);
    EXPECT_EQ(code.exit_code, row.after.exit_code);
    EXPECT_EQ(messages.debug.texts(), row.debug);
  }
}

}  // namespace
