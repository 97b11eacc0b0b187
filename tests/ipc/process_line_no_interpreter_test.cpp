// Line processing while the host has no interpreter (the host layer is never started here).
#include <gtest/gtest.h>

#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"

namespace {

class TESTED_COMMAND : public IPC_COMMAND {
 public:
  IMPL& impl() { return *m_impl; }
};

TEST(PROCESS_LINE_WITHOUT_INTERPRETER, EveryCompleteCommandIsAcceptedAndTheVerdictCached) {
  ASSERT_EQ(ztcl_get_interpreter(), nullptr);
  TESTED_COMMAND command;
  command.process_line("no_such_command at all");
  command.process_line("Debug:x still accepted");
  command.process_line("{unfinished");

  EXPECT_TRUE(command.impl().m_tcl_command_cache.at("no_such_command"));
  EXPECT_TRUE(command.impl().m_tcl_command_cache.at("Debug:x"));
  EXPECT_EQ(command.impl().m_tcl_command_cache.size(), 2u);
  EXPECT_EQ(command.impl().m_tcl_buffer, "{unfinished");
}

}  // namespace
