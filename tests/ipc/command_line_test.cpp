// The title and the full command line, with real FIFOs for the named-pipe argument.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <string>

#include "ipc/ipc_command_impl.h"

namespace {
using IMPL = IPC_COMMAND::IMPL;

TEST(CommandLine, TitleIsTheCallersTitleOrTheFirstWord) {
  EXPECT_EQ(IMPL::make_title("prog -x 1", ""), "prog");
  EXPECT_EQ(IMPL::make_title("prog", ""), "prog");
  EXPECT_EQ(IMPL::make_title("prog -x 1", "My job"), "My job");
  EXPECT_EQ(IMPL::make_title(" prog", ""), "") << "a leading blank ends an empty first word";
  EXPECT_EQ(IMPL::make_title("prog\t-x 1", ""), "prog\t-x") << "only a blank ends the word";
}

TEST(CommandLine, WithoutPipeIsTheCommandOrItsShellWrappingVerbatim) {
  SCOPED_THR_NAMED_PIPE no_pipe;
  EXPECT_EQ(IMPL::make_full_command_line(false, "prog -x 1", no_pipe), "prog -x 1");
  EXPECT_EQ(IMPL::make_full_command_line(true, "echo \"a b\" $HOME `id` \\n", no_pipe),
            "sh -c \"echo \"a b\" $HOME `id` \\n\"")
      << "nothing inside the command is quoted or escaped";
}

TEST(CommandLine, PipeNameGoesBeforeTheFirstBlankOfTheFinalLine) {
  // {wrap in a shell, command, the line with NAME standing for the pipe's name}
  const struct {
    bool shell;
    const char* command;
    const char* expected;
  } cases[] = {{false, "prog -x 1", "prog --pipe_name=NAME -x 1"},
               {true, "prog -x 1", "sh --pipe_name=NAME -c \"prog -x 1\""},
               {false, " prog", " --pipe_name=NAME prog"},
               {false, "prog", nullptr},
               {false, "", nullptr}};
  for (const auto& c : cases) {
    SCOPED_THR_NAMED_PIPE owner;
    owner.named_pipe = new THR_NAMED_PIPE("");
    std::string line;
    try {
      line = IMPL::make_full_command_line(c.shell, c.command, owner).value();
    } catch (const std::out_of_range&) {
      line = "out of range";
    }
    const std::string name = owner.named_pipe->pipe_name;
    struct stat info {};
    EXPECT_TRUE(::stat(name.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
        << "the FIFO exists before the child starts, and before the insertion point is sought";
    std::string expected = c.expected != nullptr ? c.expected : "out of range";
    if (expected.find("NAME") != std::string::npos)
      expected.replace(expected.find("NAME"), 4, name);
    EXPECT_EQ(line, expected) << c.command;
    EXPECT_FALSE(owner.registered) << "connecting is left to the run";
    THR_NAMED_PIPE(name.c_str()).remove();  // never connected: tidy away like a host would
  }
}

}  // namespace
