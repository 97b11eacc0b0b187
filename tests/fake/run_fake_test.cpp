// Whole runs over the scripted fake host: each row scripts the child and expects the run's
// result, the status others see at each host call, the calls and the messages; then the faults
// and the monitoring loop's sleeps that the OS will not produce on demand.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/cfg.h"
#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"
#include "tests/support/host_environment.h"
#include "tests/support/recording_sink.h"

namespace {

using TEXTS = std::vector<std::string>;
using fake_host::chunk;
using fake_host::end_of_output;

class LINE_RECORDER : public IPC_COMMAND {
 public:
  LINE_RECORDER() { disable_gui_update(); }
  void process_line(const std::string& line) override { lines.push_back(line); }
  // Asks to stop once it holds stop_after lines (0: never).
  bool is_stopped() override { return stop_after != 0 && lines.size() >= stop_after; }
  TEXTS lines;
  size_t stop_after = 0;
};

class RunFake : public ::testing::Test {
 protected:
  void SetUp() override { fake_host::reset(); }
  void TearDown() override {
    for (const char* key : {"ipc_sleep", "ipc_buffer_size", "ipc_use_system"}) cfg_unset_value(key);
  }
  // The calls without the monitoring loop's sleeps and pumps.
  static TEXTS calls() {
    TEXTS kept;
    for (const std::string& call : fake_host::calls())
      if (call.rfind("sleep", 0) != 0) kept.push_back(call);
    return kept;
  }

  CAPTURED_MESSAGES messages;
  LINE_RECORDER command;
  THR_PROCESS_EXIT_CODE code{-1, -1};
};

// A list as one text, "; " between its entries.
std::string joined(const TEXTS& texts) {
  std::string text;
  for (const std::string& entry : texts) text += (text.empty() ? "" : "; ") + entry;
  return text;
}

// Statuses as letters: N not started, R running, F finished, X failed.
char letter(IPC_PROCESS_STATUS status) { return "NXRF"[status]; }

TEST_F(RunFake, EachScriptedChildLeadsToItsResultStatusesAndCalls) {
  using fake_host::push_output;
  const std::string pipe_start =
      "pipe_new ; pipe_create; create cmd='prog --pipe_name=/fake/pipe1 "
      "-x' option='' stderr=joined; pipe_connect /fake/pipe1; ";
  const struct {
    const char* name;
    std::function<void(LINE_RECORDER&)> script;
    bool named_pipe, ok;
    THR_PROCESS_EXIT_CODE code;
    const char* seen;  // the status at each host call, repeats left out, and after the run
    std::string calls;
    const char* posted;
    const char* lines;
  } rows[] = {
      // clang-format off
      {"output, then its end", [](LINE_RECORDER&) { push_output(3, {chunk("a\nb"), end_of_output()}); },
       false, true, {0, 0}, "NRF",
       "create cmd='prog -x' option='' stderr=joined; peek 3; read 3 cap=1024; peek 3; wait 7 nohang=1; "
       "close_pipe 3; close_pipe 4", "", "a; b"},
      {"killed by a signal", [](LINE_RECORDER&) { fake_host::push_wait(fake_host::ended(9, 0)); },
       false, true, {9, 1}, "NRF",
       "create cmd='prog -x' option='' stderr=joined; peek 3; wait 7 nohang=1; close_pipe 3; close_pipe 4",
       "", ""},
      {"named pipe, removed after the run", [](LINE_RECORDER&) {}, true, true, {0, 0}, "NRF",
       pipe_start + "peek 3; wait 7 nohang=1; close_pipe 3; close_pipe 4; pipe_remove /fake/pipe1; "
       "pipe_delete /fake/pipe1", "", ""},
      {"named pipe that never connects: child terminated, output never read",
       [](LINE_RECORDER&) {
         fake_host::fail_pipe_connect("/fake/pipe1");
         fake_host::push_wait(fake_host::running());
       },
       true, false, {0, 1}, "NF",
       pipe_start + "wait 7 nohang=1; terminate 7 status=0 exit_code=1; close_pipe 3; close_pipe 4; "
       "pipe_delete /fake/pipe1", "Failed to open pipe; Cannot connect with prog (7)", ""},
      {"named pipe that cannot be created", [](LINE_RECORDER&) { fake_host::fail_pipe_create(1); },
       true, false, {0, 0}, "N", "pipe_new ; pipe_create; pipe_delete ",
       "Failed to create pipe for subprocess", ""},
      {"stop request: terminated, nothing read or flushed after it",
       [](LINE_RECORDER& command) {
         command.stop_after = 2;
         push_output(3, {chunk("a\nb\nc"), chunk("d\n")});
       },
       false, true, {0, 0}, "NRF",
       "create cmd='prog -x' option='' stderr=joined; peek 3; read 3 cap=1024; "
       "terminate 7 status=0 exit_code=0; close_pipe 3; close_pipe 4", "", "a; b"},
      {"stop request refused",
       [](LINE_RECORDER& command) {
         command.stop_after = 1;
         push_output(3, chunk("a\n"));
         fake_host::push_terminate(1);
       },
       false, false, {0, 0}, "NRF",
       "create cmd='prog -x' option='' stderr=joined; peek 3; read 3 cap=1024; "
       "terminate 7 status=0 exit_code=0; close_pipe 3; close_pipe 4",
       "prog (7) could not be terminated", "a"},
      {"creation fails: the error record posted once, nothing else done",
       [](LINE_RECORDER&) { fake_host::fail_create("prog", ENOENT); }, false, false, {0, 0}, "NX",
       "create cmd='prog -x' option='' stderr=joined",
       "Cannot start program \"prog\": No such file or directory", ""},
      {"system shell: its status, nothing to terminate",
       [](LINE_RECORDER&) {
         cfg_set_value("ipc_use_system", "on");
         fake_host::push_system(3 << 8);
       },
       false, true, {3 << 8, 3}, "RF", "system 'prog -x'", "", ""},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fake_host::reset();
    LINE_RECORDER runner;
    row.script(runner);
    std::string seen;
    bool terminated_during_system = false;
    fake_host::on_call([&](const std::string& call) {
      if (seen.empty() || seen.back() != letter(runner.get_process_status(0)))
        seen += letter(runner.get_process_status(0));
      if (call.rfind("system", 0) == 0) terminated_during_system = runner.terminate({0, 0});
    });
    CAPTURED_MESSAGES captured;
    code = {-1, -1};
    EXPECT_EQ(runner.run("prog -x", "", false, &code, "", row.named_pipe), row.ok);
    if (seen.back() != letter(runner.get_process_status(0)))
      seen += letter(runner.get_process_status(0));
    EXPECT_EQ(code.status, row.code.status);
    EXPECT_EQ(code.exit_code, row.code.exit_code);
    EXPECT_EQ(seen, row.seen);
    EXPECT_EQ(joined(calls()), row.calls);
    EXPECT_EQ(joined(captured.posted.texts()), row.posted);
    EXPECT_EQ(joined(runner.lines), row.lines);
    EXPECT_FALSE(terminated_during_system);
    EXPECT_EQ(fake_host::live_pipe_objects(), 0);
    EXPECT_TRUE(ipc_named_pipes.empty());
    cfg_unset_value("ipc_use_system");
  }
}

TEST_F(RunFake, AnotherThreadWritesToTheChildAndTerminatesItWhileItRuns) {
  fake_host::push_output(3, {chunk("a\n"), end_of_output()});
  int32_t written = 0;
  bool terminated = false;
  fake_host::on_call([&](const std::string& call) {
    if (call != "read 3 cap=1024") return;
    written = command.write_to_stdin("hi", 2);
    terminated = command.terminate({0, 0});
  });
  EXPECT_TRUE(command.run("prog -x", "", false, &code, "", false));
  EXPECT_EQ(written, 2);
  EXPECT_EQ(fake_host::stdin_written(4), "hi");
  EXPECT_TRUE(terminated);
  EXPECT_EQ(fake_host::calls_with_prefix("terminate"), TEXTS{"terminate 7 status=0 exit_code=0"});
}

TEST_F(RunFake, ConfiguredSleepIsUsedInEveryPassAndCreationIsHandedOptionAndStderrTarget) {
  cfg_set_value("ipc_sleep", "20");
  fake_host::push_output(3, {chunk("a\n"), fake_host::nothing_now(), chunk("b\n"),
                             fake_host::nothing_now(), end_of_output()});
  EXPECT_TRUE(command.run("prog -x", "cwd=/somewhere", false, &code, "", false));
  EXPECT_EQ(fake_host::sleeps(), (std::vector<int>{20, 20, 20, 20, 500}));
  EXPECT_EQ(fake_host::last_create().option, "cwd=/somewhere");
  EXPECT_TRUE(fake_host::last_create().stderr_joined);

  LINE_RECORDER without_stderr;
  without_stderr.disable_stderr_capture();
  EXPECT_TRUE(without_stderr.run("prog -x", "", false, &code, "", false));
  EXPECT_FALSE(fake_host::last_create().stderr_joined || fake_host::last_create().stderr_separate);
}

TEST_F(RunFake, AnIdlePassIsOnePeekAndOneSleepOfOneMillisecondOnceSilenceLasts) {
  // The loop's clock is real: one long idle pass makes the silence last beyond 5 ms.
  fake_host::on_sleep([](int index, int) {
    if (index == 2) std::this_thread::sleep_for(std::chrono::milliseconds(6));
  });
  fake_host::push_output(3, {chunk("a\n"), fake_host::nothing_now(), fake_host::nothing_now(),
                             fake_host::nothing_now(), chunk("b\n"), end_of_output()});
  EXPECT_TRUE(command.run("prog -x", "", false, &code, "", false));
  const std::vector<int> sleeps = fake_host::sleeps();
  ASSERT_EQ(sleeps.size(), 6u);
  EXPECT_EQ(sleeps[0], 0) << "output is flowing";
  EXPECT_EQ(sleeps[2], 1);
  EXPECT_EQ(sleeps[3], 1);
  EXPECT_EQ(sleeps[4], 0) << "back to the configured sleep at the next data";
  // One peek per pass, one read per pass with data.
  EXPECT_EQ(fake_host::count("peek"), 6);
  EXPECT_EQ(fake_host::count("read"), 2);
}

using RunFakeDeathTest = RunFake;

TEST_F(RunFakeDeathTest, BadBufferSizeOrASecondRunIsAnInternalError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* size : {"0", "-1"}) {
    cfg_set_value("ipc_buffer_size", size);
    LINE_RECORDER sized;
    EXPECT_DEATH(sized.run("prog -x", "", false, &code, "", false),
                 "INTERNAL ERROR: buf_size > 0 \\(IPC ipc/ipc_command:749\\)")
        << "ipc_buffer_size " << size;
  }
  cfg_unset_value("ipc_buffer_size");
  ASSERT_TRUE(command.run("prog -x", "", false, &code, "", false));
  EXPECT_DEATH(command.run("prog -x", "", false, &code, "", false),
               "INTERNAL ERROR: IPC_COMMAND objects are strictly single-use! "
               "\\(IPC ipc/ipc_command:604\\)");
}

}  // namespace
