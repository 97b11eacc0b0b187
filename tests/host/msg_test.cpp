// The message service: formats, suppression, reports, sinks, debug levels, internal errors. The
// built-in sinks' lines are checked end to end by the tool's tests.
#include "host/msg.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recording_sink.h"

namespace {

// The library defines the variadic fill_args; the host tests go through the va_list one.
void fill(MSG_BASE& message, const char* format, ...) {
  va_list args;
  va_start(args, format);
  message.fill_args(format, args);
  va_end(args);
}

void vdebug(const char* module, MSG_D_LEVEL level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  msg_local_vdebug(module, level, format, args);
  va_end(args);
}

// Routes default and debug output into sinks for the test's lifetime.
class MsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msg_set_default_sink(&posted);
    msg_set_debug_sink(&debug);
  }
  void TearDown() override {
    msg_set_default_sink(nullptr);
    msg_set_debug_sink(nullptr);
    msg_set_debug_level("IPC", 0);
  }
  RECORDING_SINK posted;
  RECORDING_SINK debug;
};

TEST_F(MsgTest, FormatsPositionalArgumentsAndSymbol) {
  MSG_E error(nullptr);
  fill(error, "%1!s!/EIPC_COMMAND_ERROR", "it failed");
  EXPECT_EQ(error.text(), "it failed");
  EXPECT_EQ(error.symbol(), "IPC_COMMAND_ERROR");

  MSG_I info(nullptr);
  fill(info, "%2!d! of %1!s! / 100%%/ITWO_ARGS", "files", 42);
  EXPECT_EQ(info.text(), "42 of files / 100%");
  EXPECT_EQ(info.symbol(), "TWO_ARGS");

  MSG_W no_symbol(nullptr);
  fill(no_symbol, "path a/b %d", 7);
  EXPECT_EQ(no_symbol.text(), "path a/b 7") << "a plain printf format is taken whole";
  EXPECT_EQ(no_symbol.symbol(), "");

  fill(info, "%1!s!/IIPC_COMMAND_INFO", "100% %d %s");
  EXPECT_EQ(info.text(), "100% %d %s") << "an argument is never a format";
}

TEST_F(MsgTest, PostsGoToReportOrDefaultSinkAndSuppressionHidesAllButErrors) {
  MSG_REPORT report;
  MSG_W warning(&report);
  fill(warning, "%1!s!/WIPC_COMMAND_WARNING", "to report");
  warning.set_id(112001);
  warning.post();
  ASSERT_EQ(report.count(), 1u);
  EXPECT_EQ(report.records()[0].kind, MSG_KIND::WARNING);
  EXPECT_EQ(report.records()[0].text, "to report");
  MSG_I_NULL().post();
  MSG_W_NULL().post();
  EXPECT_TRUE(posted.records.empty()) << "null messages post nothing";

  MSG_INDEX* index = MSG_INDEX::get_default_index();
  static const unsigned ids[] = {991000, 991001};
  static const MSG_POST_TYPE types[] = {MSG_POST_INFO, MSG_POST_ERROR};
  MSG_POST_TYPE type = MSG_POST_WARNING;
  {
    MSG_ID_REGISTRAR registrar(ids, types, 2);
    ASSERT_TRUE(index->is_registered(991001, &type));
    EXPECT_EQ(type, MSG_POST_ERROR);
  }
  EXPECT_FALSE(index->is_registered(991001, &type)) << "registered only while the registrar lives";

  index->suppress(991000);
  index->suppress(991001);
  MSG_I info(nullptr);
  fill(info, "%1!s!/IX", "hidden");
  info.set_id(991000);
  info.post();
  MSG_E error(nullptr);
  fill(error, "%1!s!/EX", "errors always show");
  error.set_id(991001);
  error.post();
  ASSERT_EQ(posted.records.size(), 1u);
  EXPECT_EQ(posted.records[0].kind, MSG_KIND::ERROR);
  EXPECT_EQ(posted.records[0].id, 991001u);
  EXPECT_EQ(posted.records[0].text, "errors always show");
  index->unsuppress(991000);
  index->unsuppress(991001);
  info.post();
  EXPECT_EQ(posted.records.size(), 2u);
}

TEST_F(MsgTest, ReportsAreLiveOnlyWhileTheyExistAndTakePostsFromManyThreads) {
  int not_a_report = 0;
  EXPECT_EQ(MSG_REPORT::find_live(&not_a_report), nullptr);
  auto report = std::make_unique<MSG_REPORT>();
  EXPECT_EQ(MSG_REPORT::find_live(report.get()), report.get());
  msg_post(BRANTOR_ERROR_MESSAGE("broken"), true, report.get());
  ASSERT_EQ(report->count(), 1u);
  EXPECT_EQ(report->records()[0].kind, MSG_KIND::INTERNAL_ERROR);
  EXPECT_EQ(report->records()[0].text, "broken");

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&report] {
      for (int i = 0; i < 250; ++i) msg_post(BRANTOR_ERROR_MESSAGE("x"), false, report.get());
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(report->count(), 1001u);

  const void* stale = report.get();
  report.reset();
  EXPECT_EQ(MSG_REPORT::find_live(stale), nullptr);
  msg_post(BRANTOR_ERROR_MESSAGE("to default"), false, nullptr);
  ASSERT_EQ(posted.records.size(), 1u);
  EXPECT_EQ(posted.records[0].kind, MSG_KIND::ERROR);
}

// The library's trace and message tests go through the debug service; here only its levels.
TEST_F(MsgTest, DebugLevelsPerModule) {
  vdebug("IPC", MSG_D_LEVEL_2, "%s", "off");
  msg_set_debug_level("IPC", 2);
  EXPECT_TRUE(MSG_D::debug_messages_enabled(nullptr));
  EXPECT_FALSE(MSG_D::debug_messages_enabled("OTHER"));
  EXPECT_FALSE(msg_debug_enabled("OTHER", MSG_D_LEVEL_1));
  vdebug("IPC", MSG_D_LEVEL_2, "%s=%d", "on", 1);
  vdebug("IPC", MSG_D_LEVEL_3, "%s", "too verbose");
  ASSERT_EQ(debug.records.size(), 1u);
  EXPECT_EQ(debug.records[0].kind, MSG_KIND::DEBUG);
  EXPECT_EQ(debug.records[0].text, "on=1");
  EXPECT_TRUE(posted.records.empty()) << "debug text never reaches the default sink";
}

TEST(MsgInternalErrorDeathTest, ReportsAndAborts) {
  EXPECT_DEATH(MSG_INTERNAL_ERROR::report("x > 0", "IPC", "ipc/ipc_command", 584),
               "INTERNAL ERROR: x > 0 \\(IPC ipc/ipc_command:584\\)");
}

}  // namespace
