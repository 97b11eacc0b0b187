// The library's message family: ids registered at load with their severities, suppressed
// information and warnings as null messages, and post_msg as the one posting route.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/mem.h"
#include "host/msg.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_msgs.h"
#include "tests/support/recording_sink.h"

namespace {

using namespace std::string_literals;

TEST(Msgs, EachSeverityPostsUnderItsOwnIdUnlessSuppressed) {
  const struct {
    MSG_POST_TYPE type;
    MSG_KIND kind;
    unsigned id;
    bool suppressible;
  } rows[] = {{MSG_POST_INFO, MSG_KIND::INFO, 112000, true},
              {MSG_POST_WARNING, MSG_KIND::WARNING, 112001, true},
              {MSG_POST_ERROR, MSG_KIND::ERROR, 112002, false}};
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
  index->suppress(112000);
  index->suppress(112001);
  EXPECT_TRUE(
      dynamic_cast<MSG_I_NULL*>(std::unique_ptr<MSG_I>(MSG_IPC::I::COMMAND_INFO("")).get()));
  EXPECT_TRUE(
      dynamic_cast<MSG_W_NULL*>(std::unique_ptr<MSG_W>(MSG_IPC::W::COMMAND_WARNING("")).get()));
  index->unsuppress(112000);
  index->unsuppress(112001);
  EXPECT_GE(mem_initializer_count("IPC"), 1);
}

TEST(Msgs, AFailingPostGoesThroughWithoutLeakingAndDebugDefaultsToLevelTwo) {
  CAPTURED_MESSAGES messages;
  messages.posted.refuse = true;
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_ERROR), std::runtime_error);
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_INFO), std::runtime_error);

  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG(MSG_D_LEVEL_3, "%s=%d", "x", 1))->post();
  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG("%s=%d", "x", 2))->post();
  ASSERT_EQ(messages.debug.records.size(), 1u);
  EXPECT_EQ(messages.debug.records[0].module, "IPC");
  EXPECT_EQ(messages.debug.records[0].text, "x=2");
}

TEST(MsgsDeathTest, InvalidSeverityIsAnInternalErrorAtItsLine) {
  EXPECT_DEATH(IPC_COMMAND::IMPL::post_msg("never posted", static_cast<MSG_POST_TYPE>(3)),
               "INTERNAL ERROR: Invalid MSG_POST_TYPE \\(IPC ipc/ipc_command:1017\\)");
}

}  // namespace
