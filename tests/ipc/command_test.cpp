// The command object: its registry, initial state and the small operations around a run.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "host/msg.h"
#include "host/thr_event.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

// Exposes the private state so a test can see it or stand in for a run.
class PROBE : public IPC_COMMAND {
 public:
  IMPL& impl() { return *m_impl; }
  const std::string& report_text() const { return m_msg_report_text; }
  MSG_REPORT* report() const { return m_msg_report; }
};

std::vector<IPC_COMMAND*> registry_snapshot() {
  ipc_command_global_state_mutex.lock();
  std::vector<IPC_COMMAND*> copy = ipc_get_commands();
  ipc_command_global_state_mutex.unlock();
  return copy;
}

std::string child(const char* name) { return std::string(IPC_CHILDREN_DIR) + "/" + name; }

TEST(Command, RegistryFollowsConstructionAndDestruction) {
  const std::size_t before = registry_snapshot().size();
  auto first = std::make_unique<PROBE>();
  auto second = std::make_unique<PROBE>();
  std::vector<IPC_COMMAND*> registry = registry_snapshot();
  ASSERT_EQ(registry.size(), before + 2);
  EXPECT_EQ(registry[before], first.get());
  EXPECT_EQ(registry[before + 1], second.get());

  first.reset();
  registry = registry_snapshot();
  ASSERT_EQ(registry.size(), before + 1);
  EXPECT_EQ(registry.back(), second.get());
  second.reset();
  EXPECT_EQ(registry_snapshot().size(), before);
}

TEST(Command, NewCommandHasItsFlagsSetAndNothingToTerminateOrWrite) {
  PROBE command;
  IPC_COMMAND::IMPL& impl = command.impl();
  EXPECT_TRUE(impl.m_gui_update && impl.m_capture_stderr && impl.m_tcl_mode);
  command.disable_gui_update();
  EXPECT_TRUE(!impl.m_gui_update && impl.m_capture_stderr && impl.m_tcl_mode);
  command.disable_stderr_capture();
  EXPECT_TRUE(!impl.m_capture_stderr && impl.m_tcl_mode);
  command.disable_tcl_mode();
  EXPECT_FALSE(impl.m_tcl_mode);

  EXPECT_FALSE(command.terminate(THR_PROCESS_EXIT_CODE{0, 0}));
  EXPECT_EQ(command.write_to_stdin("x", 1), 0);
  EXPECT_EQ(command.get_process_status(20), NOT_STARTED);
  thr_event_post(impl.m_status_event);
  const auto start = std::chrono::steady_clock::now();
  // A posted event stays signalled, so even an hour-long wait returns at once.
  EXPECT_EQ(command.get_process_status(3600 * 1000), NOT_STARTED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(Command, FinishedRunKeepsItsPidButCannotReachTheReapedChild) {
  PROBE command;
  command.disable_tcl_mode();
  command.disable_gui_update();
  THR_PROCESS_EXIT_CODE code{-1, -1};
  ASSERT_TRUE(command.run(child("print_args") + " once", "", false, &code, "", false));
  EXPECT_NE(command.impl().m_pid, 0u);
  EXPECT_FALSE(command.terminate(THR_PROCESS_EXIT_CODE{0, 0}));
  EXPECT_EQ(command.get_process_status(0), FINISHED);
}

TEST(Command, AttachedReportIsNamedByItsTclTextAndTheLastOneWins) {
  PROBE command;
  EXPECT_EQ(command.report(), nullptr);
  EXPECT_TRUE(command.report_text().empty());

  MSG_REPORT first;
  MSG_REPORT second;
  command.set_msg_report(&first);
  command.set_msg_report(&second);
  std::array<char, 56> expected{};
  ztcl_ptr_to_string(expected.data(), &second);
  EXPECT_EQ(command.report(), &second);
  EXPECT_EQ(command.report_text(), expected.data());

  command.set_msg_report(nullptr);
  ztcl_ptr_to_string(expected.data(), nullptr);
  EXPECT_EQ(command.report(), nullptr);
  EXPECT_EQ(command.report_text(), expected.data());
}

}  // namespace
