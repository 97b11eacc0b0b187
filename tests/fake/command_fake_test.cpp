// The SIGTERM handler's walk over the registry, seen call by call through the scripted host.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

namespace {

int host_handler_signal = 0;
void host_handler(int signal_number) { host_handler_signal = signal_number; }

// Stands in for a command whose run has started a child with the given pid.
class STARTED : public IPC_COMMAND {
 public:
  explicit STARTED(unsigned long pid) { m_impl->m_pid = pid; }
};

// Exits 0 when the walk asked for exactly the live started children, in order, and then chained.
void walk_and_check() {
  fake_host::reset();
  signal(SIGTERM, host_handler);
  STARTED first(31);
  STARTED never_started(0);
  { STARTED gone(34); }  // a destroyed command leaves the registry
  STARTED second(32);
  STARTED third(33);
  fake_host::push_terminate(-1);  // a refusal is not reported and the walk goes on
  fake_host::push_terminate(0);
  ipc_signal_handler(SIGTERM);
  const std::vector<std::string> expected = {"terminate 31 status=0 exit_code=0",
                                             "terminate 32 status=0 exit_code=0",
                                             "terminate 33 status=0 exit_code=0"};
  const bool walked = fake_host::calls_with_prefix("terminate") == expected;
  std::_Exit(walked && host_handler_signal == SIGTERM ? 0 : 1);
}

TEST(CommandFakeDeathTest, WalkTerminatesEveryStartedChildInConstructionOrderThenChains) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(walk_and_check(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
