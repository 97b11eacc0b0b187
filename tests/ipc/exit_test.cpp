// Ending real children after their pipe broke: collecting one that exited, explaining one that
// died by a signal, and terminating one that never spoke but still runs.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/msg.h"
#include "host/thr_process.h"
#include "ipc/ipc_command_impl.h"

namespace {

class RECORDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
  }
  std::vector<std::string> texts(MSG_KIND kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (const MSG_RECORD& record : m_records)
      if (record.kind == kind && (kind != MSG_KIND::DEBUG || record.module == "IPC"))
        out.push_back(record.text);
    return out;
  }

 private:
  std::mutex m_mutex;
  std::vector<MSG_RECORD> m_records;
};

class HOST_ENVIRONMENT : public ::testing::Environment {
 public:
  void SetUp() override { host_start("exit_test"); }
  void TearDown() override { host_stop(); }
};

const auto* const host_environment =
    ::testing::AddGlobalTestEnvironment(new HOST_ENVIRONMENT);  // gtest owns it

class ENDING_A_CHILD : public ::testing::Test {
 protected:
  void SetUp() override {
    msg_set_default_sink(&posted);
    msg_set_debug_sink(&debug);
    msg_set_debug_level("IPC", 2);
  }
  void TearDown() override {
    for (unsigned long pid : m_pipes) thr_process_close_pipe(pid);
    msg_set_default_sink(nullptr);
    msg_set_debug_sink(nullptr);
  }

  unsigned long start(const std::string& arguments) {
    unsigned long output_pipe = 0;
    unsigned long stdin_pipe = 0;
    THR_SYS_FUNC_STAT_STRUCT stat{};
    auto created = thr_process_create2(command_line(arguments), "", &output_pipe, &output_pipe,
                                       &stdin_pipe, &stat);
    EXPECT_TRUE(created.has_value());
    m_pipes.push_back(output_pipe);
    m_pipes.push_back(stdin_pipe);
    return created.has_value() ? created.value() : 0;
  }

  static std::string command_line(const std::string& arguments) {
    return std::string(IPC_CHILDREN_DIR) + "/exit_as_told " + arguments;
  }

  std::string counted(unsigned long pid, int count) {
    return "child (" + std::to_string(pid) + ") to exit after pipe broken, counted to " +
           std::to_string(count);
  }

  RECORDING_SINK posted;
  RECORDING_SINK debug;

 private:
  std::vector<unsigned long> m_pipes;
};

TEST_F(ENDING_A_CHILD, AChildThatExitedIsCollectedWithItsRecordAndNothingPosted) {
  const unsigned long pid = start("code 3");
  const auto [exited, code] =
      IPC_COMMAND::IMPL::kill_process_for_broken_pipe(pid, command_line("code 3"), "child", true);
  EXPECT_TRUE(exited);
  EXPECT_EQ(code.exit_code, 3);
  EXPECT_EQ(code.status & 0xFF, 0);
  EXPECT_TRUE(posted.texts(MSG_KIND::ERROR).empty());
  const std::vector<std::string> texts = debug.texts(MSG_KIND::DEBUG);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "child (" + std::to_string(pid) + ") terminated normally");
  EXPECT_EQ(texts[1], "Waiting for " + counted(pid, 0));
}

TEST_F(ENDING_A_CHILD, ADeathBySignalIsExplainedAndGivesExitCodeOne) {
  const unsigned long pid = start("signal 9");
  const auto [exited, code] =
      IPC_COMMAND::IMPL::kill_process_for_broken_pipe(pid, command_line("signal 9"), "child", true);
  EXPECT_TRUE(exited);
  EXPECT_EQ(code.status & 0x7F, 9);
  EXPECT_EQ(code.exit_code, 1);
  const std::vector<std::string> texts = debug.texts(MSG_KIND::DEBUG);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], command_line("signal 9") + ": died due to signal 9");
  EXPECT_EQ(texts[1], "child (" + std::to_string(pid) + ") terminated normally");
}

TEST_F(ENDING_A_CHILD, ASilentChildStillRunningIsTerminatedAfterOnePoll) {
  const unsigned long pid = start("sleep 30");
  const auto [exited, code] = IPC_COMMAND::IMPL::kill_process_for_broken_pipe(
      pid, command_line("sleep 30"), "child", false);
  EXPECT_FALSE(exited);
  EXPECT_EQ(code.exit_code, 1);
  EXPECT_EQ(posted.texts(MSG_KIND::ERROR),
            std::vector<std::string>{"Cannot connect with child (" + std::to_string(pid) + ")"});
  const std::vector<std::string> texts = debug.texts(MSG_KIND::DEBUG);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Successfully terminated child (" + std::to_string(pid) + ")");
  EXPECT_EQ(texts[1], "Waiting for " + counted(pid, 0));
}

}  // namespace
