// The title and the full command line, with real FIFOs for the named-pipe argument.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "ipc/ipc_command_impl.h"

namespace {
using IMPL = IPC_COMMAND::IMPL;

bool is_fifo(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// A pipe that was created but never connected keeps its FIFO; tidy it away like a host would.
void delete_fifo(const std::string& path) {
  THR_NAMED_PIPE leftover(path.c_str());
  leftover.remove();
}

// A run's pipe owner holding a fresh, not yet created pipe, as the run driver sets it up.
class CommandLineWithPipe : public ::testing::Test {
 protected:
  CommandLineWithPipe() { owner.named_pipe = new THR_NAMED_PIPE(""); }
  void TearDown() override {
    if (!name().empty()) delete_fifo(name());
  }
  std::string name() const { return owner.named_pipe->pipe_name; }
  SCOPED_THR_NAMED_PIPE owner;
};

TEST(CommandLineTitle, IsTheCallersTitleOrTheFirstWord) {
  EXPECT_EQ(IMPL::make_title("prog -x 1", ""), "prog");
  EXPECT_EQ(IMPL::make_title("prog", ""), "prog");
  EXPECT_EQ(IMPL::make_title("", ""), "");
  EXPECT_EQ(IMPL::make_title("prog -x 1", "My job"), "My job");
  EXPECT_EQ(IMPL::make_title("", "My job"), "My job");
  EXPECT_EQ(IMPL::make_title(" prog", ""), "") << "a leading blank ends an empty first word";
  EXPECT_EQ(IMPL::make_title("prog\t-x 1", ""), "prog\t-x") << "only a blank ends the word";
}

TEST(CommandLineWithoutPipe, IsTheCommandOrItsShellWrappingVerbatim) {
  SCOPED_THR_NAMED_PIPE no_pipe;
  EXPECT_EQ(IMPL::make_full_command_line(false, "prog -x 1", no_pipe), "prog -x 1");
  EXPECT_EQ(IMPL::make_full_command_line(false, "", no_pipe), "");
  EXPECT_EQ(IMPL::make_full_command_line(true, "echo \"a b\" $HOME `id` \\n", no_pipe),
            "sh -c \"echo \"a b\" $HOME `id` \\n\"")
      << "nothing inside the command is quoted or escaped";
  EXPECT_EQ(IMPL::make_full_command_line(true, "", no_pipe), "sh -c \"\"");
}

TEST_F(CommandLineWithPipe, PassesThePipeNameAfterTheFirstWord) {
  auto full = IMPL::make_full_command_line(false, "prog -x 1", owner);
  ASSERT_TRUE(full.has_value());
  ASSERT_FALSE(name().empty());
  EXPECT_TRUE(is_fifo(name())) << "the FIFO exists before the child starts";
  EXPECT_EQ(*full, "prog --pipe_name=" + name() + " -x 1");
  EXPECT_FALSE(owner.registered) << "connecting is left to the run";
}

TEST_F(CommandLineWithPipe, PutsThePipeNameAfterShWhenWrapped) {
  auto full = IMPL::make_full_command_line(true, "prog -x 1", owner);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(*full, "sh --pipe_name=" + name() + " -c \"prog -x 1\"");
}

TEST_F(CommandLineWithPipe, InsertsAtPositionZeroBeforeALeadingBlank) {
  auto full = IMPL::make_full_command_line(false, " prog", owner);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(*full, " --pipe_name=" + name() + " prog");
}

TEST_F(CommandLineWithPipe, OneWordCommandRaisesOutOfRangeWithThePipeStillOwned) {
  EXPECT_THROW(IMPL::make_full_command_line(false, "prog", owner), std::out_of_range);
  ASSERT_NE(owner.named_pipe, nullptr) << "the owner releases the created pipe when it goes";
  EXPECT_FALSE(owner.registered);
  EXPECT_TRUE(is_fifo(name())) << "the pipe was created before the insertion point was sought";
}

TEST_F(CommandLineWithPipe, EmptyCommandRaisesOutOfRange) {
  EXPECT_THROW(IMPL::make_full_command_line(false, "", owner), std::out_of_range);
}

}  // namespace
