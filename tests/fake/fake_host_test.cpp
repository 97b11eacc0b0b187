// The scripted fake host answers as scripted and logs what it was asked.
#include "host/fake/fake_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/thr_gui.h"
#include "host/thr_named_pipe.h"
#include "host/thr_process.h"

using ::testing::ElementsAre;

namespace {

class FakeHostTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_host::reset(); }
};

THR_PROCESS_CREATE_RESULT create(const std::string& command, unsigned long* out, unsigned long* in,
                                 bool join_stderr = true) {
  THR_SYS_FUNC_STAT_STRUCT stat{};
  return thr_process_create2(command, "", out, join_stderr ? out : nullptr, in, &stat);
}

std::string read_some(unsigned long pipe, unsigned long capacity, int* status) {
  char buffer[64];
  uint32_t count = 0;
  *status = thr_process_read(pipe, buffer, capacity, &count);
  return std::string(buffer, count);
}

TEST_F(FakeHostTest, CreationFollowsTheScriptsThenTheDefaults) {
  fake_host::script_create(11, 5, 6);
  fake_host::fail_create("prog", ENOENT);
  fake_host::fail_create_with_null_error();
  unsigned long out = 0, in = 0;

  auto first = create("prog a", &out, &in);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first.value(), 11u);
  EXPECT_EQ(out, 5u);
  EXPECT_EQ(in, 6u);

  auto failed = create("prog b", &out, &in, false);
  ASSERT_TRUE(failed.has_error());
  std::unique_ptr<BRANTOR_ERROR_MESSAGE> message(failed.error()->make_error_message());
  EXPECT_EQ(message->text(), "Cannot start program \"prog\": No such file or directory");
  EXPECT_FALSE(fake_host::last_create().stderr_joined);

  auto broken = create("prog c", &out, &in);
  ASSERT_TRUE(broken.has_error());
  EXPECT_EQ(broken.error(), nullptr);

  auto defaulted = create("prog d", &out, &in);
  EXPECT_EQ(defaulted.value(), 7u);
  EXPECT_EQ(out, 3u);
  EXPECT_EQ(in, 4u);
  EXPECT_THAT(fake_host::calls_with_prefix("create"),
              ElementsAre("create cmd='prog a' option='' stderr=joined",
                          "create cmd='prog b' option='' stderr=none",
                          "create cmd='prog c' option='' stderr=joined",
                          "create cmd='prog d' option='' stderr=joined"));
}

TEST_F(FakeHostTest, OutputPipeStepsAnswerPeeksAndReads) {
  fake_host::push_output(3, {fake_host::chunk("hello\n"), fake_host::nothing_now(),
                             fake_host::failing_peek_with("xy"), fake_host::read_failure(9)});
  uint32_t waiting = 0;
  int status = 0;

  EXPECT_EQ(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(waiting, 6u);
  EXPECT_EQ(read_some(3, 4, &status), "hell");  // the capacity bounds a read
  EXPECT_EQ(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(waiting, 2u);
  EXPECT_EQ(read_some(3, 4, &status), "o\n");

  EXPECT_EQ(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(waiting, 0u);

  EXPECT_NE(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(waiting, 2u);
  EXPECT_EQ(read_some(3, 64, &status), "xy");
  EXPECT_EQ(status, 0);

  EXPECT_EQ(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(waiting, 9u);
  EXPECT_EQ(read_some(3, 64, &status), "");
  EXPECT_NE(status, 0);

  EXPECT_NE(thr_process_peek(3, &waiting), 0);  // an empty queue is the end of output
  EXPECT_EQ(waiting, 0u);
  fake_host::hold_output_open(3);
  EXPECT_EQ(thr_process_peek(3, &waiting), 0);
  fake_host::hold_output_open(3, false);
  EXPECT_NE(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(fake_host::count("peek 3"), 8);
  EXPECT_EQ(fake_host::calls_with_prefix("read").front(), "read 3 cap=4");
}

TEST_F(FakeHostTest, WaitTerminateAndSleepFollowScriptsInVirtualTime) {
  fake_host::push_wait(fake_host::running(), 2);
  fake_host::push_wait(fake_host::ended(0x8B, 0));
  fake_host::push_terminate(1);
  fake_host::push_terminate(0);
  THR_PROCESS_EXIT_CODE code{-5, -5};

  EXPECT_EQ(thr_process_wait(7, &code, 1), 0);
  EXPECT_EQ(code.status, -5);  // a running child leaves the record alone
  EXPECT_EQ(thr_process_wait(7, &code, 1), 0);
  EXPECT_GT(thr_process_wait(7, &code, 1), 0);
  EXPECT_EQ(code.status, 0x8B);
  EXPECT_GT(thr_process_wait(7, &code, 1), 0);  // the last answer repeats

  EXPECT_EQ(thr_process_terminate(7, {0, 1}), 1);
  EXPECT_EQ(thr_process_terminate(7, {0, 0}), 0);
  EXPECT_EQ(thr_process_terminate(7, {0, 0}), 0);

  thr_msleep(500);
  thr_msleep(200);
  thr_msleep(-3);
  EXPECT_THAT(fake_host::sleeps(), ElementsAre(500, 200, -3));
  EXPECT_EQ(fake_host::clock_ms(), 700);
  EXPECT_THAT(fake_host::calls_with_prefix("terminate"),
              ElementsAre("terminate 7 status=0 exit_code=1", "terminate 7 status=0 exit_code=0",
                          "terminate 7 status=0 exit_code=0"));
}

TEST_F(FakeHostTest, HooksCanChangeTheScriptMidway) {
  fake_host::push_wait(fake_host::running());
  fake_host::on_wait([](int index) {
    if (index == 7) fake_host::push_wait(fake_host::ended(0, 3));
  });
  std::vector<int> slept_at;
  fake_host::on_sleep([&](int index, int) { slept_at.push_back(index); });
  THR_PROCESS_EXIT_CODE code{0, 0};
  int polls = 0;
  while (thr_process_wait(7, &code, 1) == 0) {
    ++polls;
    thr_msleep(200);
  }
  EXPECT_EQ(polls, 6);
  EXPECT_EQ(code.exit_code, 3);
  EXPECT_EQ(slept_at.size(), 6u);
  EXPECT_EQ(fake_host::count("wait 7 nohang=1"), 7);
}

TEST_F(FakeHostTest, ACallHookReactsToCallsWithoutRecursing) {
  fake_host::hold_output_open(3);
  fake_host::on_call([](const std::string& entry) {
    if (entry.rfind("terminate 7", 0) == 0) fake_host::hold_output_open(3, false);
    thr_msleep(1);  // logged, but runs no hook
  });
  uint32_t waiting = 0;
  EXPECT_EQ(thr_process_peek(3, &waiting), 0);
  EXPECT_EQ(thr_process_terminate(7, {0, 0}), 0);
  EXPECT_NE(thr_process_peek(3, &waiting), 0);
  EXPECT_THAT(fake_host::calls(),
              ElementsAre("peek 3", "sleep 1", "terminate 7 status=0 exit_code=0", "sleep 1",
                          "peek 3", "sleep 1"));
}

TEST_F(FakeHostTest, StdinShellGuiAndIdentityAreScripted) {
  fake_host::push_stdin_write(0);
  fake_host::push_stdin_write(32);
  fake_host::push_system(3 << 8);
  fake_host::set_getpid(99);
  fake_host::set_win32(true);
  fake_host::set_process_events_result(1);
  uint32_t count = 0;

  EXPECT_EQ(thr_process_write(4, "abc", 3, &count), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(thr_process_write(4, "def", 3, &count), 32);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(fake_host::stdin_written(4), "abc");
  EXPECT_EQ(thr_system("ls -l"), 3 << 8);
  EXPECT_EQ(thr_getpid(), 99);
  EXPECT_NE(thr_win32_is(), 0);
  EXPECT_EQ(thr_qt_process_events(), 1);
  thr_win32_pump_messages(250);
  thr_process_close_pipe(3);
  thr_process_close_handle(7);
  EXPECT_THAT(fake_host::calls(),
              ElementsAre("write 4 'abc'", "write 4 'def'", "system 'ls -l'", "pump",
                          "win32_pump 250", "close_pipe 3", "close_handle 7"));
}

TEST_F(FakeHostTest, NamedPipesFollowTheirScriptsByName) {
  const std::string first = fake_host::pipe_name_for(1);
  fake_host::fail_pipe_create(2);
  fake_host::push_pipe_write(first, false);
  fake_host::push_pipe_read(first, "Helper 0 is done");
  fake_host::push_pipe_read_nothing(first);
  fake_host::push_pipe_read_failure(first);
  fake_host::fail_pipe_connect("to1");
  char buffer[8];
  {
    THR_NAMED_PIPE pipe("");
    EXPECT_EQ(pipe.read(buffer, sizeof buffer), -1);  // not connected yet
    ASSERT_TRUE(pipe.create());
    EXPECT_EQ(first, pipe.pipe_name);
    ASSERT_TRUE(pipe.connect());
    EXPECT_EQ(pipe.write("a", 1), -1);
    EXPECT_EQ(pipe.write("b", 1), 1);
    EXPECT_EQ(pipe.read(buffer, sizeof buffer), 8);
    EXPECT_EQ(pipe.read(buffer, sizeof buffer), 8);
    EXPECT_EQ(std::string(buffer, 8), " is done");
    EXPECT_EQ(pipe.read(buffer, sizeof buffer), 0);
    EXPECT_EQ(pipe.read(buffer, sizeof buffer), -1);
    EXPECT_NE(pipe.error_status, 0);
    pipe.remove();

    THR_NAMED_PIPE failing("");
    EXPECT_FALSE(failing.create());
    THR_NAMED_PIPE helper("to1");
    EXPECT_FALSE(helper.connect());
    EXPECT_EQ(fake_host::live_pipe_objects(), 3);
  }
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
  EXPECT_THAT(fake_host::pipe_writes(first), ElementsAre("b"));
  EXPECT_TRUE(fake_host::pipe_removed(first));
  EXPECT_FALSE(fake_host::pipe_connected("to1"));
  EXPECT_EQ(fake_host::count("pipe_write " + first), 2);
  EXPECT_EQ(fake_host::calls().back(), "pipe_delete " + first);
}

TEST_F(FakeHostTest, CallsFromTwoThreadsAreAllLogged) {
  auto sleep_many = [] {
    for (int i = 0; i < 500; ++i) thr_msleep(1);
  };
  std::thread other(sleep_many);
  sleep_many();
  other.join();
  EXPECT_EQ(fake_host::count("sleep 1"), 1000);
  EXPECT_EQ(fake_host::clock_ms(), 1000);
}

}  // namespace
