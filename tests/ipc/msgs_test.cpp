// The library's message family: ids registered at load, messages built per severity, suppressed
// information and warnings giving null messages, and post_msg as the single posting route.
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

class Msgs : public ::testing::Test {
 protected:
  void TearDown() override {
    for (unsigned id : {112000u, 112001u, 112002u}) MSG_INDEX::get_default_index()->unsuppress(id);
  }
  CAPTURED_MESSAGES messages;
  RECORDING_SINK& sink = messages.posted;
};

TEST_F(Msgs, SuppressedInfoAndWarningGiveNullMessagesThatPostNothing) {
  MSG_INDEX* index = MSG_INDEX::get_default_index();
  index->suppress(112000);
  index->suppress(112001);
  index->suppress(112002);

  std::unique_ptr<MSG_I> info(MSG_IPC::I::COMMAND_INFO("info"));
  std::unique_ptr<MSG_W> warning(MSG_IPC::W::COMMAND_WARNING("warning"));
  EXPECT_NE(dynamic_cast<MSG_I_NULL*>(info.get()), nullptr);
  EXPECT_NE(dynamic_cast<MSG_W_NULL*>(warning.get()), nullptr);

  IPC_COMMAND::IMPL::post_msg("info", MSG_POST_INFO);
  IPC_COMMAND::IMPL::post_msg("warning", MSG_POST_WARNING);
  EXPECT_TRUE(sink.records.empty());

  // Errors cannot be suppressed: the index is not asked about them.
  IPC_COMMAND::IMPL::post_msg("error", MSG_POST_ERROR);
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].kind, MSG_KIND::ERROR);
  EXPECT_EQ(sink.records[0].id, 112002u);
}

TEST_F(Msgs, PostMsgPostsEachSeverityWithItsRegisteredIdCutAtTheFirstZeroByte) {
  const struct {
    MSG_POST_TYPE type;
    MSG_KIND kind;
    unsigned id;
  } severities[] = {{MSG_POST_INFO, MSG_KIND::INFO, 112000},
                    {MSG_POST_WARNING, MSG_KIND::WARNING, 112001},
                    {MSG_POST_ERROR, MSG_KIND::ERROR, 112002}};
  for (const auto& severity : severities) {
    MSG_POST_TYPE registered = MSG_POST_TYPE(3);
    ASSERT_TRUE(MSG_INDEX::get_default_index()->is_registered(severity.id, &registered));
    EXPECT_EQ(registered, severity.type);
    sink.records.clear();
    IPC_COMMAND::IMPL::post_msg("50% %s\0hidden"s, severity.type);
    IPC_COMMAND::IMPL::post_msg("", severity.type);
    ASSERT_EQ(sink.records.size(), 2u);
    EXPECT_EQ(sink.records[0].kind, severity.kind);
    EXPECT_EQ(sink.records[0].id, severity.id);
    EXPECT_EQ(sink.records[0].text, "50% %s") << "a text is never a format";
    EXPECT_EQ(sink.records[1].text, "");
  }
  EXPECT_GE(mem_initializer_count("IPC"), 1);
}

TEST_F(Msgs, PostMsgLetsAFailingPostThroughWithoutLeaking) {
  sink.refuse = true;
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_ERROR), std::runtime_error);
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_INFO), std::runtime_error);
}

TEST(MsgsDeathTest, InvalidSeverityIsAnInternalErrorAtItsLine) {
  EXPECT_DEATH(IPC_COMMAND::IMPL::post_msg("never posted", static_cast<MSG_POST_TYPE>(3)),
               "INTERNAL ERROR: Invalid MSG_POST_TYPE \\(IPC ipc/ipc_command:1017\\)");
}

TEST_F(Msgs, DebugMessagesDefaultToLevelTwoOfModuleIpc) {
  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG(MSG_D_LEVEL_2, "%s=%d", "x", 1))->post();
  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG("%s=%d", "x", 1))->post();
  std::unique_ptr<MSG_D>(MSG_IPC::DEBUG_MSG(MSG_D_LEVEL_3, "%s=%d", "x", 1))->post();
  ASSERT_EQ(messages.debug.records.size(), 2u);
  for (const MSG_RECORD& record : messages.debug.records) {
    EXPECT_EQ(record.kind, MSG_KIND::DEBUG);
    EXPECT_EQ(record.module, "IPC");
    EXPECT_EQ(record.text, "x=1");
  }
}

}  // namespace
