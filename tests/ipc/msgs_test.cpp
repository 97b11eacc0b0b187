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

namespace {

using namespace std::string_literals;

class RECORDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    if (throw_on_deliver) throw std::runtime_error("sink refused");
    records.push_back(record);
  }
  std::vector<MSG_RECORD> records;
  bool throw_on_deliver = false;
};

class Msgs : public ::testing::Test {
 protected:
  void SetUp() override {
    msg_set_default_sink(&sink);
    msg_set_debug_sink(&sink);
  }
  void TearDown() override {
    msg_set_default_sink(nullptr);
    msg_set_debug_sink(nullptr);
    msg_set_debug_level("IPC", 0);
    for (unsigned id : {112000u, 112001u, 112002u}) MSG_INDEX::get_default_index()->unsuppress(id);
  }
  RECORDING_SINK sink;
};

TEST_F(Msgs, IdsAreRegisteredWithTheirSeveritiesAtLoad) {
  MSG_INDEX* index = MSG_INDEX::get_default_index();
  MSG_POST_TYPE type = MSG_POST_ERROR;
  ASSERT_TRUE(index->is_registered(112000, &type));
  EXPECT_EQ(type, MSG_POST_INFO);
  ASSERT_TRUE(index->is_registered(112001, &type));
  EXPECT_EQ(type, MSG_POST_WARNING);
  ASSERT_TRUE(index->is_registered(112002, &type));
  EXPECT_EQ(type, MSG_POST_ERROR);
  EXPECT_GE(mem_initializer_count("IPC"), 1);
}

TEST_F(Msgs, ConstructorsBuildMessagesOfTheirKindIdAndSymbol) {
  std::unique_ptr<MSG_E> error(MSG_IPC::E::COMMAND_ERROR("Failed to open pipe"));
  EXPECT_EQ(error->id(), 112002u);
  EXPECT_EQ(error->text(), "Failed to open pipe");
  EXPECT_EQ(error->symbol(), "IPC_COMMAND_ERROR");

  std::unique_ptr<MSG_I> info(MSG_IPC::I::COMMAND_INFO("50% done %s"));
  EXPECT_EQ(dynamic_cast<MSG_I_NULL*>(info.get()), nullptr);
  EXPECT_EQ(info->id(), 112000u);
  EXPECT_EQ(info->text(), "50% done %s");
  EXPECT_EQ(info->symbol(), "IPC_COMMAND_INFO");

  std::unique_ptr<MSG_W> warning(MSG_IPC::W::COMMAND_WARNING(""));
  EXPECT_EQ(warning->id(), 112001u);
  EXPECT_EQ(warning->text(), "");
  EXPECT_EQ(warning->symbol(), "IPC_COMMAND_WARNING");
}

TEST_F(Msgs, SuppressedInfoAndWarningGiveNullMessagesThatPostNothing) {
  MSG_INDEX* index = MSG_INDEX::get_default_index();
  index->suppress(112000);
  index->suppress(112001);
  index->suppress(112002);

  std::unique_ptr<MSG_I> info(MSG_IPC::I::COMMAND_INFO("info"));
  std::unique_ptr<MSG_W> warning(MSG_IPC::W::COMMAND_WARNING("warning"));
  EXPECT_NE(dynamic_cast<MSG_I_NULL*>(info.get()), nullptr);
  EXPECT_NE(dynamic_cast<MSG_W_NULL*>(warning.get()), nullptr);
  EXPECT_EQ(info->id(), 0u);
  EXPECT_EQ(warning->id(), 0u);

  IPC_COMMAND::IMPL::post_msg("info", MSG_POST_INFO);
  IPC_COMMAND::IMPL::post_msg("warning", MSG_POST_WARNING);
  EXPECT_TRUE(sink.records.empty());

  // Errors cannot be suppressed: the index is not asked about them.
  IPC_COMMAND::IMPL::post_msg("error", MSG_POST_ERROR);
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].kind, MSG_KIND::ERROR);
  EXPECT_EQ(sink.records[0].id, 112002u);
}

TEST_F(Msgs, PostMsgPostsEachSeverityCutAtTheFirstZeroByte) {
  IPC_COMMAND::IMPL::post_msg("Failed to open pipe", MSG_POST_ERROR);
  IPC_COMMAND::IMPL::post_msg("first\0hidden"s, MSG_POST_ERROR);
  IPC_COMMAND::IMPL::post_msg("second\0hidden"s, MSG_POST_INFO);
  IPC_COMMAND::IMPL::post_msg("third\0hidden"s, MSG_POST_WARNING);
  IPC_COMMAND::IMPL::post_msg("", MSG_POST_INFO);

  ASSERT_EQ(sink.records.size(), 5u);
  EXPECT_EQ(sink.records[0].kind, MSG_KIND::ERROR);
  EXPECT_EQ(sink.records[0].id, 112002u);
  EXPECT_EQ(sink.records[0].text, "Failed to open pipe");
  EXPECT_EQ(sink.records[1].text, "first");
  EXPECT_EQ(sink.records[2].kind, MSG_KIND::INFO);
  EXPECT_EQ(sink.records[2].id, 112000u);
  EXPECT_EQ(sink.records[2].text, "second");
  EXPECT_EQ(sink.records[3].kind, MSG_KIND::WARNING);
  EXPECT_EQ(sink.records[3].id, 112001u);
  EXPECT_EQ(sink.records[3].text, "third");
  EXPECT_EQ(sink.records[4].kind, MSG_KIND::INFO);
  EXPECT_EQ(sink.records[4].text, "");
}

TEST_F(Msgs, PostMsgLetsAFailingPostThroughWithoutLeaking) {
  sink.throw_on_deliver = true;
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_ERROR), std::runtime_error);
  EXPECT_THROW(IPC_COMMAND::IMPL::post_msg("lost", MSG_POST_INFO), std::runtime_error);
}

TEST(MsgsDeathTest, InvalidSeverityIsAnInternalErrorAtItsLine) {
  EXPECT_DEATH(IPC_COMMAND::IMPL::post_msg("never posted", static_cast<MSG_POST_TYPE>(3)),
               "INTERNAL ERROR: Invalid MSG_POST_TYPE \\(IPC ipc/ipc_command:1017\\)");
}

TEST_F(Msgs, DebugMessagesDefaultToLevelTwoOfModuleIpc) {
  msg_set_debug_level("IPC", 2);
  std::unique_ptr<MSG_D> with_level(MSG_IPC::DEBUG_MSG(MSG_D_LEVEL_2, "%s=%d", "x", 1));
  std::unique_ptr<MSG_D> without_level(MSG_IPC::DEBUG_MSG("%s=%d", "x", 1));
  std::unique_ptr<MSG_D> above(MSG_IPC::DEBUG_MSG(MSG_D_LEVEL_3, "%s=%d", "x", 1));
  with_level->post();
  without_level->post();
  above->post();
  ASSERT_EQ(sink.records.size(), 2u);
  for (const MSG_RECORD& record : sink.records) {
    EXPECT_EQ(record.kind, MSG_KIND::DEBUG);
    EXPECT_EQ(record.module, "IPC");
    EXPECT_EQ(record.text, "x=1");
  }
}

}  // namespace
