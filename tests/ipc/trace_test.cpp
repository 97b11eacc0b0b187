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
  void SetUp() override { msg_set_debug_sink(&sink); }
  void TearDown() override {
    msg_set_debug_sink(nullptr);
    msg_set_debug_level("IPC", 0);
    msg_set_debug_level("OTHER", 0);
    msg_initialized = false;
  }
  RECORDING_SINK sink;
};

TEST_F(Trace, GateAndEmitterFollowTheHostSettingsFromOneCallToTheNext) {
  const struct {
    bool initialized;
    int ipc_level, other_level;
    MSG_D_LEVEL asked;
    bool enabled;
  } rows[] = {{false, 2, 0, MSG_D_LEVEL_2, false}, {true, 2, 0, MSG_D_LEVEL_2, true},
              {true, 2, 0, MSG_D_LEVEL_3, false},  {true, 0, 0, MSG_D_LEVEL_2, false},
              {true, 0, 3, MSG_D_LEVEL_2, false},  {true, 3, 0, MSG_D_LEVEL_3, true}};
  std::vector<std::string> expected;
  for (int row = 0; row < 6; ++row) {
    msg_initialized = rows[row].initialized;
    msg_set_debug_level("IPC", rows[row].ipc_level);
    msg_set_debug_level("OTHER", rows[row].other_level);
    EXPECT_EQ(msg_vdebug_is_enabled(rows[row].asked), rows[row].enabled) << "row " << row;
    // The emitter answers to the levels only; the initialization is the gate's to check.
    if (rows[row].initialized) msg_vdebug_impl(rows[row].asked, "%s %d", "row", row);
    if (rows[row].enabled) expected.push_back("row " + std::to_string(row));
  }
  EXPECT_EQ(sink.texts(), expected);
}

TEST_F(Trace, DebugTextWithPercentSignsIsShownLiterally) {
  msg_initialized = true;
  msg_set_debug_level("IPC", 2);
  ipc_debug_text("child said %s and %d%%");
  ipc_debug_printf("%s (%ld): %s", "title", 42L, "50% %s %n");
  ipc_debug_printf("%d", "not a number");
  EXPECT_EQ(sink.texts(), (std::vector<std::string>{
                              "child said %s and %d%%", "title (42): 50% %s %n",
                              "ERROR: args not compatible with format string\nformat: %d\narg[0]: "
                              "not a number\n"}));
}

}  // namespace
