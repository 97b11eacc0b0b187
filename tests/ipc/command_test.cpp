// The command object: its registry, initial state and the small operations around a run. The
// attached report is seen at work in the line protocol's tests.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "host/thr_event.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

// Exposes the private state so a test can see it or stand in for a run.
class PROBE : public IPC_COMMAND {
 public:
  IMPL& impl() { return *m_impl; }
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

}  // namespace
