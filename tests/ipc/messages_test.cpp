// The library's messages and debug text: ids, severities, suppression and post_msg; a debug gate
// that asks the host at every call; formatting that never takes a child's text for a format.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/fmt_helpers.h"
#include "host/mem.h"
#include "host/msg.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_msgs.h"
#include "tests/support/recording_sink.h"
#include "trace/msg_vdebug.h"

namespace {

using namespace std::string_literals;
using KORVEL::fmt_format_helper;
using KORVEL::fmt_sprintf_helper;

TEST(Msgs, EachSeverityPostsUnderItsOwnIdUnlessSuppressed) {
  // clang-format off
  const struct { MSG_POST_TYPE type; MSG_KIND kind; unsigned id; bool suppressible; } rows[] = {
      {MSG_POST_INFO, MSG_KIND::INFO, 112000, true},
      {MSG_POST_WARNING, MSG_KIND::WARNING, 112001, true},
      {MSG_POST_ERROR, MSG_KIND::ERROR, 112002, false}};
  // clang-format on
  MSG_INDEX* index = MSG_INDEX::get_default_index();
  for (const auto& row : rows) {
    MSG_POST_TYPE registered = MSG_POST_TYPE(3);
    EXPECT_TRUE(index->is_registered(row.id, &registered) && registered == row.type) << row.id;
    for (bool suppressed : {false, true}) {
      CAPTURED_MESSAGES messages;
      if (suppressed) index->suppress(row.id);
      IPC_COMMAND::IMPL::post_msg("50% %s\0hidden"s, row.type);  // a text is never a format
      IPC_COMMAND::IMPL::post_msg("", row.type);
      index->unsuppress(row.id);
      std::vector<std::string> expected = {"50% %s", ""};
      if (suppressed && row.suppressible) expected.clear();
      EXPECT_EQ(messages.posted.texts(), expected) << row.id << (suppressed ? " suppressed" : "");
      for (const MSG_RECORD& record : messages.posted.records)
        EXPECT_TRUE(record.kind == row.kind && record.id == row.id) << row.id;
    }
  }
  for (unsigned id : {112000u, 112001u}) index->suppress(id);
  const std::unique_ptr<MSG_BASE> info(MSG_IPC::I::COMMAND_INFO("")),
      warning(MSG_IPC::W::COMMAND_WARNING(""));
  EXPECT_TRUE(dynamic_cast<MSG_I_NULL*>(info.get()) && dynamic_cast<MSG_W_NULL*>(warning.get()));
  for (unsigned id : {112000u, 112001u}) index->unsuppress(id);
  EXPECT_GE(mem_initializer_count("IPC"), 1);

  CAPTURED_MESSAGES refused;  // a failing post goes through, and nothing leaks
  refused.posted.refuse = true;
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_ERROR), std::runtime_error);
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_INFO), std::runtime_error);
}

TEST(MsgsDeathTest, InvalidSeverityIsAnInternalErrorAtItsLine) {
  EXPECT_DEATH(IPC_COMMAND::IMPL::post_msg("never posted", static_cast<MSG_POST_TYPE>(3)),
               "INTERNAL ERROR: Invalid MSG_POST_TYPE \\(IPC ipc/ipc_command:1017\\)");
}

TEST(Trace, TheGateAsksTheHostAtEveryCallAndDebugTextIsShownLiterally) {
  CAPTURED_MESSAGES messages;  // the library's debug text; at level 0 again afterwards
  // clang-format off
  const struct { bool initialized; int ipc, other; MSG_D_LEVEL asked; bool enabled; } rows[] = {
      {false, 2, 0, MSG_D_LEVEL_2, false}, {true, 2, 0, MSG_D_LEVEL_2, true},
      {true, 2, 0, MSG_D_LEVEL_3, false}, {true, 0, 0, MSG_D_LEVEL_2, false},
      {true, 0, 3, MSG_D_LEVEL_2, false}, {true, 3, 0, MSG_D_LEVEL_3, true}};
  // clang-format on
  for (const auto& row : rows) {
    msg_initialized = row.initialized;
    msg_set_debug_level("IPC", row.ipc);
    msg_set_debug_level("OTHER", row.other);
    EXPECT_EQ(msg_vdebug_is_enabled(row.asked), row.enabled) << "row " << &row - rows;
  }
  msg_set_debug_level("OTHER", 0);
  msg_set_debug_level("IPC", 2);
  ipc_debug_text("child said %s and %d%%");
  ipc_debug_printf("%s (%ld): %s", "title", 42L, "50% %s %n");
  ipc_debug_printf("%d {0}", "not a number");
  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG(MSG_D_LEVEL_3, "%s", "hidden"))->post();
  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG("%s=%d", "x", 2))->post();
  msg_initialized = false;
  EXPECT_EQ(messages.debug.texts(),
            (std::vector<std::string>{"child said %s and %d%%", "title (42): 50% %s %n",
                                      "ERROR: args not compatible with format string\nformat: %d "
                                      "{0}\narg[0]: not a number\n",
                                      "x=2"}));
}

TEST(FormatHelpers, SuccessReplacesTheOutputAMismatchMarksItAndTheReportGoesOn) {
  std::string printed = "old", formatted = "old", bad_printf, bad_format, report = "old";
  EXPECT_TRUE(fmt_sprintf_helper(printed, "%s (%ld)", fmt::make_printf_args("child", 42L)));
  EXPECT_TRUE(fmt_format_helper(formatted, "{} of {}", fmt::make_format_args(1, "two")));
  EXPECT_FALSE(fmt_sprintf_helper(bad_printf, "%d", fmt::make_printf_args("abc")));
  EXPECT_FALSE(fmt_format_helper(bad_format, "{1}", fmt::make_format_args(7)));
  const char* null_text = nullptr;  // marked, as are the arguments counted beyond those given
  KORVEL::fmt_args_error(report, "%d", 4, fmt::make_format_args(-12, null_text, true));
  EXPECT_EQ((std::vector<std::string>{printed, formatted, bad_printf, bad_format, report}),
            (std::vector<std::string>{"child (42)", "1 of two", "(unprintable)", "(unprintable)",
                                      "ERROR: args not compatible with format string\nformat: "
                                      "%d\narg[0]: -12\narg[1]: (unprintable)\narg[2]: "
                                      "true\narg[3]: (unprintable)\n"}));
}

}  // namespace
