// Whole runs over the scripted fake host: the faults the OS will not produce on demand, the
// monitoring loop's sleeps and passes call by call, and what process creation is handed.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/cfg.h"
#include "host/fake/fake_host.h"
#include "host/host.h"
#include "host/msg.h"
#include "ipc/ipc_command_impl.h"
#include "tests/support/host_environment.h"
#include "tests/support/recording_sink.h"

namespace {

using TEXTS = std::vector<std::string>;

class LINE_RECORDER : public IPC_COMMAND {
 public:
  LINE_RECORDER() { disable_gui_update(); }
  void process_line(const std::string& line) override { lines.push_back(line); }
  TEXTS lines;
};

class RunFake : public ::testing::Test {
 protected:
  void SetUp() override { fake_host::reset(); }
  void TearDown() override {
    cfg_unset_value("ipc_sleep");
    cfg_unset_value("ipc_buffer_size");
  }
  bool debug_text_starts_with(const std::string& prefix) {
    for (const std::string& text : debug.texts())
      if (text.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  }
  // The calls of the monitoring passes: after the creation, before the grace sleep of the end.
  static TEXTS pass_calls() {
    const TEXTS calls = fake_host::calls();
    TEXTS passes;
    for (size_t i = 1; i < calls.size() && calls[i] != "sleep 500"; ++i) passes.push_back(calls[i]);
    return passes;
  }

  CAPTURED_MESSAGES messages;
  RECORDING_SINK& posted = messages.posted;
  RECORDING_SINK& debug = messages.debug;
  LINE_RECORDER command;
  THR_PROCESS_EXIT_CODE code{-1, -1};
};

TEST_F(RunFake, CreationErrorFailsTheRunAndPostsTheErrorRecordOnce) {
  EXPECT_FALSE(command.terminate({0, 0}));
  EXPECT_TRUE(fake_host::calls().empty()) << "before a run there is nothing to terminate";
  fake_host::fail_create("prog", ENOENT);
  EXPECT_FALSE(command.run("prog -x", "", false, &code, "", false));
  EXPECT_EQ(code.status, 0);
  EXPECT_EQ(code.exit_code, 0);
  EXPECT_EQ(command.get_process_status(0), FAILED);
  const std::unique_ptr<BRANTOR_ERROR_MESSAGE> record(
      THR_ERROR("prog", ENOENT).make_error_message());
  EXPECT_EQ(posted.texts(), TEXTS{record->text()});
  EXPECT_TRUE(debug_text_starts_with("Launching: prog -x"));
  EXPECT_FALSE(debug_text_starts_with("Started"));
  EXPECT_TRUE(debug_text_starts_with("Total output parsing time: "));
  EXPECT_EQ(fake_host::calls().size(), 1u) << "nothing but the creation: no read, no close";
}

TEST_F(RunFake, NamedPipeThatNeverConnectsFailsTheRunAndTheChildIsTerminated) {
  fake_host::fail_pipe_connect(fake_host::pipe_name_for(1));
  fake_host::push_wait(fake_host::running());
  EXPECT_FALSE(command.run("prog -x", "", false, &code, "", true));
  EXPECT_EQ(fake_host::last_create().command_line,
            "prog --pipe_name=" + fake_host::pipe_name_for(1) + " -x");
  EXPECT_EQ(posted.texts(), (TEXTS{"Failed to open pipe", "Cannot connect with prog (7)"}));
  EXPECT_EQ(fake_host::calls_with_prefix("terminate"), TEXTS{"terminate 7 status=0 exit_code=1"});
  EXPECT_EQ(code.status, 0);
  EXPECT_EQ(code.exit_code, 1);
  EXPECT_EQ(command.get_process_status(0), FINISHED);
  EXPECT_EQ(fake_host::count("peek"), 0) << "the output is never read";
  EXPECT_EQ(fake_host::calls_with_prefix("close_pipe"), (TEXTS{"close_pipe 3", "close_pipe 4"}));
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}

TEST_F(RunFake, ConfiguredSleepIsUsedInEveryPassAndCreationIsHandedOptionAndStderrTarget) {
  cfg_set_value("ipc_sleep", "20");
  fake_host::push_output(
      3, {fake_host::chunk("a\n"), fake_host::nothing_now(), fake_host::chunk("b\n"),
          fake_host::nothing_now(), fake_host::end_of_output()});
  EXPECT_TRUE(command.run("prog -x", "cwd=/somewhere", false, &code, "", false));
  EXPECT_EQ(fake_host::sleeps(), (std::vector<int>{20, 20, 20, 20, 500}));
  EXPECT_EQ(command.lines, (TEXTS{"a", "b", ""}));
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
  fake_host::push_output(
      3, {fake_host::chunk("a\n"), fake_host::nothing_now(), fake_host::nothing_now(),
          fake_host::nothing_now(), fake_host::chunk("b\n"), fake_host::end_of_output()});
  EXPECT_TRUE(command.run("prog -x", "", false, &code, "", false));
  const std::vector<int> sleeps = fake_host::sleeps();
  ASSERT_EQ(sleeps.size(), 6u);
  EXPECT_EQ(sleeps[0], 0) << "output is flowing";
  EXPECT_EQ(sleeps[2], 1);
  EXPECT_EQ(sleeps[3], 1);
  EXPECT_EQ(sleeps[4], 0) << "back to the configured sleep at the next data";
  auto sleep = [&](int pass) { return "sleep " + std::to_string(sleeps[pass]); };
  EXPECT_EQ(pass_calls(),
            (TEXTS{"peek 3", "read 3 cap=1024", sleep(0), "peek 3", sleep(1), "peek 3", sleep(2),
                   "peek 3", sleep(3), "peek 3", "read 3 cap=1024", sleep(4), "peek 3"}));
}

using RunFakeDeathTest = RunFake;

TEST_F(RunFakeDeathTest, NonPositiveBufferSizeIsAnInternalError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* size : {"0", "-1"}) {
    cfg_set_value("ipc_buffer_size", size);
    LINE_RECORDER sized;
    EXPECT_DEATH(sized.run("prog -x", "", false, &code, "", false),
                 "INTERNAL ERROR: buf_size > 0 \\(IPC ipc/ipc_command:749\\)")
        << "ipc_buffer_size " << size;
  }
}

}  // namespace
