// The named-pipe registry and the run's pipe owner, over real FIFOs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

// Lets a test make the next allocation fail, to see what the registry does without memory.
namespace {
std::atomic<bool> fail_next_allocation{false};
}  // namespace

// The replacements stay out of line: once inlined, the optimiser would see malloc's pointer
// reach operator delete (or free reach a new expression's pointer) and report a mismatch.
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
bool is_fifo(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

class NamedPipes : public ::testing::Test {
 protected:
  void SetUp() override { ipc_named_pipes.clear(); }
  void TearDown() override { ipc_named_pipes.clear(); }
};

TEST_F(NamedPipes, RunsPipesAreListedInConnectionOrderAndTheEndOfOneRemovesOnlyItsOwn) {
  std::unique_ptr<SCOPED_THR_NAMED_PIPE> owners[2];
  std::unique_ptr<THR_NAMED_PIPE> children[2];
  std::string names[2];
  for (int i = 0; i < 2; ++i) {  // as the run driver does it, the child opening its end first
    owners[i] = std::make_unique<SCOPED_THR_NAMED_PIPE>();
    owners[i]->named_pipe = new THR_NAMED_PIPE("");
    ASSERT_TRUE(owners[i]->named_pipe->create());
    names[i] = owners[i]->named_pipe->pipe_name;
    children[i] = std::make_unique<THR_NAMED_PIPE>(names[i].c_str());
    ASSERT_TRUE(children[i]->connect_r());
    ASSERT_TRUE(owners[i]->prepare());
  }
  THR_NAMED_PIPE* second_pipe = owners[1]->named_pipe;
  EXPECT_EQ(ipc_named_pipes, (std::vector<THR_NAMED_PIPE*>{owners[0]->named_pipe, second_pipe}));
  owners[0].reset();
  EXPECT_FALSE(is_fifo(names[0])) << "a registered pipe is removed from the system";
  EXPECT_EQ(ipc_named_pipes, std::vector<THR_NAMED_PIPE*>{second_pipe});
  EXPECT_TRUE(is_fifo(names[1]));
}

TEST_F(NamedPipes, PopRemovesTheFirstEqualEntryAndIgnoresUnlistedPipes) {
  THR_NAMED_PIPE a(""), b(""), c("");
  ipc_push_named_pipe(&a);
  ipc_push_named_pipe(&b);
  ipc_push_named_pipe(&a);
  ipc_push_named_pipe(&c);

  ipc_pop_named_pipe(&a);
  EXPECT_EQ(ipc_named_pipes, (std::vector<THR_NAMED_PIPE*>{&b, &a, &c}));
  THR_NAMED_PIPE unlisted("");
  ipc_pop_named_pipe(&unlisted);
  EXPECT_EQ(ipc_named_pipes, (std::vector<THR_NAMED_PIPE*>{&b, &a, &c}));
}

TEST_F(NamedPipes, RegistryThatCannotGrowLeavesTheLockFree) {
  THR_NAMED_PIPE pipe("");
  std::vector<THR_NAMED_PIPE*>().swap(ipc_named_pipes);  // no spare capacity: the push allocates
  bool out_of_memory = false;
  try {
    fail_next_allocation = true;
    ipc_push_named_pipe(&pipe);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  fail_next_allocation = false;
  ASSERT_TRUE(out_of_memory);
  EXPECT_TRUE(ipc_named_pipes.empty());

  // Another thread can take the lock at once; were it still held, this would never finish.
  auto other_thread = std::async(std::launch::async, [&] { ipc_push_named_pipe(&pipe); });
  if (other_thread.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "ipc_pipe_state_mutex stayed locked";
    std::_Exit(1);
  }
  EXPECT_EQ(ipc_named_pipes, std::vector<THR_NAMED_PIPE*>{&pipe});
}

TEST(NamedPipesDeathTest, PrepareWithoutPipeIsAnInternalError) {
  SCOPED_THR_NAMED_PIPE empty;
  EXPECT_DEATH(empty.prepare(), "INTERNAL ERROR: named_pipe \\(IPC ipc/ipc_command:584\\)");
}
}  // namespace
