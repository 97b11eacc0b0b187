// The title, the full command line with the run's named pipe, the registry of connected pipes and
// the broadcast, checked call by call over the scripted fake host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

// Lets a test make the next allocation fail, to see what the registry does without memory.
namespace {
std::atomic<bool> fail_next_allocation{false};
}  // namespace

// Out of line: once inlined, the optimiser would see malloc's pointer reach operator delete (or
// free reach a new expression's pointer) and report a mismatch.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (fail_next_allocation.exchange(false)) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* memory) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {
using IMPL = IPC_COMMAND::IMPL;
using STRINGS = std::vector<std::string>;
using PIPES = std::vector<THR_NAMED_PIPE*>;

class NamedPipesFake : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_host::reset();
    ipc_named_pipes.clear();
  }
  void TearDown() override { ipc_named_pipes.clear(); }
};

TEST_F(NamedPipesFake, TitleIsTheCallersTitleOrTheFirstWord) {
  EXPECT_EQ(IMPL::make_title("prog -x 1", ""), "prog");
  EXPECT_EQ(IMPL::make_title("prog", ""), "prog");
  EXPECT_EQ(IMPL::make_title("prog -x 1", "My job"), "My job");
  EXPECT_EQ(IMPL::make_title(" prog", ""), "") << "a leading blank ends an empty first word";
  EXPECT_EQ(IMPL::make_title("prog\t-x 1", ""), "prog\t-x") << "only a blank ends the word";
}

// The pipe's name goes before the first blank of the final line; it is created first, and left
// to the run to connect.
TEST_F(NamedPipesFake, FullCommandLineAndItsPipe) {
  const struct {
    bool pipe, shell;
    const char* command;
    const char* expected;  // "-": no line (the pipe failed); "!": out of range
    bool pipe_fails;
  } rows[] = {
      {false, false, "prog -x 1", "prog -x 1", false},
      {false, true, "echo \"a b\" $HOME `id` \\n", "sh -c \"echo \"a b\" $HOME `id` \\n\"", false},
      {true, false, "prog -x 1", "prog --pipe_name=/fake/pipe1 -x 1", false},
      {true, true, "prog -x 1", "sh --pipe_name=/fake/pipe1 -c \"prog -x 1\"", false},
      {true, false, " prog", " --pipe_name=/fake/pipe1 prog", false},
      {true, false, "prog", "!", false},
      {true, false, "", "!", false},
      {true, true, "prog -x", "-", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    fake_host::reset();
    if (row.pipe_fails) fake_host::fail_pipe_create(1);
    std::string line;
    {
      SCOPED_THR_NAMED_PIPE owner;
      if (row.pipe) owner.named_pipe = new THR_NAMED_PIPE("");
      try {
        line = IMPL::make_full_command_line(row.shell, row.command, owner).value_or("-");
      } catch (const std::out_of_range&) {
        line = "!";
      }
      EXPECT_FALSE(owner.registered);
    }
    EXPECT_EQ(line, row.expected);
    const STRINGS expected_calls =
        !row.pipe        ? STRINGS{}
        : row.pipe_fails ? STRINGS{"pipe_new ", "pipe_create", "pipe_delete "}
                         : STRINGS{"pipe_new ", "pipe_create", "pipe_delete /fake/pipe1"};
    EXPECT_EQ(fake_host::calls(), expected_calls) << "created before anything else, never removed";
  }
  EXPECT_EQ(fake_host::live_pipe_objects(), 0);
}

TEST_F(NamedPipesFake, PreparedPipesAreListedInOrderAndEachOwnerRemovesOnlyItsOwn) {
  auto first = std::make_unique<SCOPED_THR_NAMED_PIPE>();
  SCOPED_THR_NAMED_PIPE second, failing;
  for (auto* owner : {first.get(), &second, &failing}) {
    owner->named_pipe = new THR_NAMED_PIPE("");
    ASSERT_TRUE(owner->named_pipe->create());
  }
  fake_host::fail_pipe_connect("/fake/pipe3");
  EXPECT_TRUE(first->prepare());
  EXPECT_TRUE(second.prepare());
  EXPECT_FALSE(failing.prepare());
  EXPECT_FALSE(failing.registered);
  EXPECT_EQ(ipc_named_pipes, (PIPES{first->named_pipe, second.named_pipe}));
  first.reset();
  EXPECT_EQ(ipc_named_pipes, PIPES{second.named_pipe});
  EXPECT_EQ(fake_host::calls_with_prefix("pipe_remove"), STRINGS{"pipe_remove /fake/pipe1"});

  // Unlisting takes the first equal entry and ignores pipes that are not listed.
  THR_NAMED_PIPE a(""), b("");
  ipc_named_pipes = {&a, &b, &a};
  ipc_pop_named_pipe(&a);
  ipc_pop_named_pipe(second.named_pipe);
  EXPECT_EQ(ipc_named_pipes, (PIPES{&b, &a}));
}

TEST_F(NamedPipesFake, BroadcastWritesToEveryListedPipeAndSaysWhetherAllTookIt) {
  IPC_COMMAND command;
  EXPECT_TRUE(command.send_through_pipe("hello")) << "no pipe: nothing to fail";
  std::vector<std::unique_ptr<THR_NAMED_PIPE>> pipes;
  for (const char* pipe_name : {"/a", "/b", "/c"}) {
    pipes.push_back(std::make_unique<THR_NAMED_PIPE>(pipe_name));
    ASSERT_TRUE(pipes.back()->connect());
    ipc_push_named_pipe(pipes.back().get());
  }
  fake_host::push_pipe_write("/b", false);
  EXPECT_FALSE(command.send_through_pipe("hello"));
  EXPECT_EQ(fake_host::calls_with_prefix("pipe_write"),
            (STRINGS{"pipe_write /a 'hello'", "pipe_write /b 'hello'", "pipe_write /c 'hello'"}))
      << "a failure stops nobody";
  EXPECT_TRUE(command.send_through_pipe("again"));
}

TEST_F(NamedPipesFake, RegistryThatCannotGrowLeavesTheLockFree) {
  THR_NAMED_PIPE pipe("");
  PIPES().swap(ipc_named_pipes);  // no spare capacity: the push allocates
  fail_next_allocation = true;
  EXPECT_THROW(ipc_push_named_pipe(&pipe), std::bad_alloc);
  fail_next_allocation = false;
  // Another thread can take the lock at once; were it still held, this would never finish.
  auto other_thread = std::async(std::launch::async, [&] { ipc_push_named_pipe(&pipe); });
  if (other_thread.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "ipc_pipe_state_mutex stayed locked";
    std::_Exit(1);
  }
  EXPECT_EQ(ipc_named_pipes, PIPES{&pipe});
}

TEST(NamedPipesFakeDeathTest, PrepareWithoutPipeIsAnInternalError) {
  SCOPED_THR_NAMED_PIPE empty;
  EXPECT_DEATH(empty.prepare(), "INTERNAL ERROR: named_pipe \\(IPC ipc/ipc_command:584\\)");
}
}  // namespace
