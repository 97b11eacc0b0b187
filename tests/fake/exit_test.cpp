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

std::string joined(const TEXTS& texts) {
  std::string text;
  for (const std::string& entry : texts) text += (text.empty() ? "" : "; ") + entry;
  return text;
}

// Texts name the child "backend (42)" as B, and "Waiting for B to exit after pipe broken,
// counted to N" is written "counted N".
std::string expand(std::string text) {
  for (size_t at; (at = text.find('B')) != std::string::npos;) text.replace(at, 1, "backend (42)");
  const std::string counted = "counted ";
  const size_t at = text.find(counted);
  if (at != std::string::npos)
    text.replace(at, counted.size(),
                 "Waiting for backend (42) to exit after pipe broken, counted to ");
  return text;
}

TEST(BrokenPipe, EachAnswerOfTheChildLeadsToItsEnd) {
  const WAIT_RESULT run = running(), gone = fake_host::unreachable();
  const struct {
    std::vector<WAIT_RESULT> waits;  // the last one repeats
    int terminate_result;
    bool had_output, exited;
    THR_PROCESS_EXIT_CODE code;
    int polls;  // at 500 ms, then every 200 ms
    const char *posted, *debug, *last_calls;
  } rows[] = {
      // clang-format off
      {{ended(3 << 8, 3)}, 0, true, true, {3 << 8, 3}, 1, "",
       "B terminated normally; counted 0", "sleep 500; wait 42 nohang=1"},
      {{run, run, run, ended(0, 0)}, 0, true, true, {0, 0}, 4, "",
       "B terminated normally; counted 3", "sleep 200; wait 42 nohang=1"},
      {{run}, 0, true, false, {0, 1}, 20, "Pipe to B broken but process still running, terminating...",
       "Successfully terminated B; counted 20", "sleep 200; terminate 42 status=0 exit_code=1"},
      {{gone}, 0, true, false, {0, 0}, 1, "Cannot connect with B anymore",
       "Rogue process!; counted 0", "wait 42 nohang=1; close_handle 42"},
      {{run}, 0, false, false, {0, 1}, 1, "Cannot connect with B",  // a silent child
       "Successfully terminated B; counted 0", "wait 42 nohang=1; terminate 42 status=0 exit_code=1"},
      {{run}, 1, false, false, {0, 0}, 1, "Cannot connect with B; B is not responding",
       "counted 0", "wait 42 nohang=1; terminate 42 status=0 exit_code=1"},
      {{ended(0x8B, 0)}, 0, true, true, {0x8B, 1}, 1, "",
       "backend --pipe_name=/fake/pipe1 -x: died due to signal 11; Check for core file; "
       "B terminated normally; counted 0", "sleep 500; wait 42 nohang=1"},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.debug);
    fake_host::reset();
    CAPTURED_MESSAGES messages;
    std::vector<int64_t> poll_times, expected_times;
    fake_host::on_wait([&](int) { poll_times.push_back(fake_host::clock_ms()); });
    for (const WAIT_RESULT& answer : row.waits) fake_host::push_wait(answer);
    fake_host::push_terminate(row.terminate_result);

    const auto [exited, code] = IPC_COMMAND::IMPL::kill_process_for_broken_pipe(
        42, COMMAND_LINE, "backend", row.had_output);
    EXPECT_EQ(exited, row.exited);
    EXPECT_EQ(code.status, row.code.status);
    EXPECT_EQ(code.exit_code, row.code.exit_code);
    for (int i = 0; i < row.polls; ++i) expected_times.push_back(500 + 200 * i);
    EXPECT_EQ(poll_times, expected_times);
    EXPECT_EQ(joined(messages.posted.texts()), expand(row.posted));
    EXPECT_EQ(joined(messages.debug.texts()), expand(row.debug));
    const std::string calls = joined(fake_host::calls()), last_calls = row.last_calls;
    EXPECT_EQ(calls.substr(calls.size() - std::min(calls.size(), last_calls.size())), last_calls)
        << "nobody waits for a terminated child";
    EXPECT_EQ(fake_host::count("terminate"),
              std::string(row.last_calls).find("terminate") != std::string::npos ? 1 : 0);
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
