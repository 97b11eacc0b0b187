// The life of a run's named pipe, from creation on the command line to its release, checked
// call by call over the scripted fake host.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"

namespace {
using IMPL = IPC_COMMAND::IMPL;
using STRINGS = std::vector<std::string>;

class NamedPipesFake : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_host::reset();
    ipc_named_pipes.clear();
  }
  void TearDown() override { ipc_named_pipes.clear(); }
  // A run's owner given a fresh pipe, as the run driver does.
  static void give_pipe(SCOPED_THR_NAMED_PIPE& owner) { owner.named_pipe = new THR_NAMED_PIPE(""); }
  const std::string name = fake_host::pipe_name_for(1);
};

TEST_F(NamedPipesFake, ConnectedPipeIsUnlistedThenRemovedThenDeleted) {
  {
    SCOPED_THR_NAMED_PIPE owner;
    give_pipe(owner);
    ASSERT_TRUE(IMPL::make_full_command_line(false, "prog -x", owner).has_value());
    ASSERT_TRUE(owner.prepare());
    EXPECT_EQ(ipc_named_pipes, std::vector<THR_NAMED_PIPE*>{owner.named_pipe});
  }
  EXPECT_TRUE(ipc_named_pipes.empty());
  EXPECT_EQ(fake_host::calls(), (STRINGS{"pipe_new ", "pipe_create", "pipe_connect " + name,
                                         "pipe_remove " + name, "pipe_delete " + name}));
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}

TEST_F(NamedPipesFake, PipeThatFailsToConnectIsDeletedWithoutRemoval) {
  fake_host::fail_pipe_connect(name);
  {
    SCOPED_THR_NAMED_PIPE owner;
    give_pipe(owner);
    ASSERT_TRUE(IMPL::make_full_command_line(false, "prog -x", owner).has_value());
    EXPECT_FALSE(owner.prepare());
    EXPECT_FALSE(owner.registered);
    EXPECT_TRUE(ipc_named_pipes.empty());
  }
  EXPECT_EQ(fake_host::count("pipe_remove"), 0);
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}

TEST_F(NamedPipesFake, PipeThatCannotBeCreatedGivesNoCommandLineAndIsReleased) {
  fake_host::fail_pipe_create(1);
  {
    SCOPED_THR_NAMED_PIPE owner;
    give_pipe(owner);
    EXPECT_FALSE(IMPL::make_full_command_line(true, "prog -x", owner).has_value());
  }
  EXPECT_EQ(fake_host::count("pipe_connect"), 0);
  EXPECT_EQ(fake_host::count("pipe_remove"), 0);
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}

TEST_F(NamedPipesFake, OneWordCommandLeavesTheCreatedPipeToItsOwner) {
  {
    SCOPED_THR_NAMED_PIPE owner;
    give_pipe(owner);
    EXPECT_THROW(IMPL::make_full_command_line(false, "prog", owner), std::out_of_range);
  }
  EXPECT_EQ(fake_host::calls(), (STRINGS{"pipe_new ", "pipe_create", "pipe_delete " + name}));
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}
}  // namespace
