// Debug tracing: the gate follows the host's settings at every call, and debug text with
// arguments travels as the argument of "%s", so percent signs in it are shown literally.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/msg.h"
#include "tests/support/recording_sink.h"
#include "trace/msg_vdebug.h"

namespace {

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    msg_initialized = true;
    msg_set_debug_sink(&sink);
  }
  void TearDown() override {
    msg_set_debug_sink(nullptr);
    msg_set_debug_level("IPC", 0);
    msg_set_debug_level("OTHER", 0);
    msg_initialized = false;
  }
  RECORDING_SINK sink;
};

TEST_F(Trace, GateAndEmitterFollowTheHostSettingFromOneCallToTheNext) {
  msg_vdebug_impl(MSG_D_LEVEL_2, "%s %d", "hidden", 1);
  msg_set_debug_level("IPC", 2);
  msg_initialized = false;
  EXPECT_FALSE(msg_vdebug_is_enabled(MSG_D_LEVEL_2));
  msg_initialized = true;
  EXPECT_TRUE(msg_vdebug_is_enabled(MSG_D_LEVEL_2));
  EXPECT_FALSE(msg_vdebug_is_enabled(MSG_D_LEVEL_3));
  msg_vdebug_impl(MSG_D_LEVEL_2, "%s %d", "shown", 2);
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].kind, MSG_KIND::DEBUG);
  EXPECT_EQ(sink.records[0].module, "IPC");
  EXPECT_EQ(sink.records[0].text, "shown 2");

  msg_set_debug_level("IPC", 0);
  EXPECT_FALSE(msg_vdebug_is_enabled(MSG_D_LEVEL_2));
  // Another module's debug output says nothing about this library's.
  msg_set_debug_level("OTHER", 3);
  EXPECT_FALSE(msg_vdebug_is_enabled(MSG_D_LEVEL_2));
  msg_set_debug_level("IPC", 3);
  EXPECT_TRUE(msg_vdebug_is_enabled(MSG_D_LEVEL_3));
}

TEST_F(Trace, DebugTextWithPercentSignsIsShownLiterally) {
  msg_set_debug_level("IPC", 2);
  ipc_debug_text("child said %s and %d%%");
  ipc_debug_printf("%s (%ld): %s", "title", 42L, "50% %s %n");
  ipc_debug_printf("%d", "not a number");
  ASSERT_EQ(sink.records.size(), 3u);
  EXPECT_EQ(sink.records[0].text, "child said %s and %d%%");
  EXPECT_EQ(sink.records[1].text, "title (42): 50% %s %n");
  EXPECT_EQ(sink.records[2].text,
            "ERROR: args not compatible with format string\nformat: %d\narg[0]: not a number\n");
}

}  // namespace
