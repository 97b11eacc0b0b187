// A run's named pipe that fails on its way from creation to connection, and the broadcast to every
// listed pipe, checked call by call over the scripted fake host.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

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

TEST_F(NamedPipesFake, PipeThatFailsToConnectOrToBeCreatedOrHasNoPlaceIsReleasedUnremoved) {
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
  EXPECT_EQ(fake_host::count("pipe_delete"), 1);

  fake_host::reset();
  fake_host::fail_pipe_create(1);
  {
    SCOPED_THR_NAMED_PIPE owner;
    give_pipe(owner);
    EXPECT_FALSE(IMPL::make_full_command_line(true, "prog -x", owner).has_value());
  }
  EXPECT_EQ(fake_host::calls(), (STRINGS{"pipe_new ", "pipe_create", "pipe_delete "}));

  fake_host::reset();
  {
    SCOPED_THR_NAMED_PIPE owner;
    give_pipe(owner);
    EXPECT_THROW(IMPL::make_full_command_line(false, "prog", owner), std::out_of_range);
  }
  EXPECT_EQ(fake_host::calls(), (STRINGS{"pipe_new ", "pipe_create", "pipe_delete " + name}));
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}

TEST_F(NamedPipesFake, BroadcastWritesToEveryListedPipeAndSaysWhetherAllTookIt) {
  IPC_COMMAND command;
  EXPECT_TRUE(command.send_through_pipe("hello")) << "no pipe: nothing to fail";
  EXPECT_EQ(fake_host::count("pipe_write"), 0);

  std::vector<std::unique_ptr<THR_NAMED_PIPE>> pipes;
  for (const char* pipe_name : {"/a", "/b", "/c"}) {
    pipes.push_back(std::make_unique<THR_NAMED_PIPE>(pipe_name));
    ASSERT_TRUE(pipes.back()->connect());
    ipc_push_named_pipe(pipes.back().get());
  }
  fake_host::push_pipe_write("/b", false);
  EXPECT_FALSE(command.send_through_pipe("hello"));
  EXPECT_EQ(fake_host::calls_with_prefix("pipe_write"),
            (STRINGS{"pipe_write /a 'hello'", "pipe_write /b 'hello'", "pipe_write /c 'hello'"}));
  EXPECT_EQ(fake_host::pipe_writes("/c"), STRINGS{"hello"}) << "a failure stops nobody";
  EXPECT_TRUE(command.send_through_pipe("again"));
}
}  // namespace
