// Pool faults that real FIFOs cannot produce on demand, and the exact order of pipe operations,
// over the scripted fake host.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"

namespace {
using POOL = IPC_COMMAND::IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS;
using IMPL = IPC_COMMAND::IMPL;
using STRINGS = std::vector<std::string>;

std::string to_name(int helper) { return "/to" + std::to_string(helper); }
std::string from_name(int helper) { return "/from" + std::to_string(helper); }

class PoolFake : public ::testing::Test {
 protected:
  void make_pool(int helper_count, int partition_count) {
    to_helpers.clear();
    from_helpers.clear();
    pipes.clear();
    fake_host::reset();
    for (int i = 0; i < helper_count; ++i) {
      pipes.push_back(std::make_unique<THR_NAMED_PIPE>(to_name(i).c_str()));
      to_helpers.push_back(pipes.back().get());
      pipes.push_back(std::make_unique<THR_NAMED_PIPE>(from_name(i).c_str()));
      from_helpers.push_back(pipes.back().get());
    }
    pool = POOL{to_helpers.data(), from_helpers.data(), helper_count,
                partition_count,   helper_count,        true};
    calls_before = fake_host::calls().size();
  }
  bool connect() {
    SCOPED_THR_NAMED_PIPE no_run_pipe;
    return IMPL::connect_pipes(no_run_pipe, &pool);
  }
  // The pipe operations since the pool was made.
  STRINGS pipe_calls() {
    STRINGS all = fake_host::calls();
    return STRINGS(all.begin() + calls_before, all.end());
  }
  STRINGS writes(int helper) { return fake_host::pipe_writes(to_name(helper)); }

  std::vector<std::unique_ptr<THR_NAMED_PIPE>> pipes;
  std::vector<THR_NAMED_PIPE*> to_helpers, from_helpers;
  POOL pool{};
  size_t calls_before = 0;
};

TEST_F(PoolFake, ConnectsEachHelperFullyBeforeTheNextAndStopsAtTheFirstFailure) {
  make_pool(2, 4);
  ASSERT_TRUE(connect());
  EXPECT_EQ(pipe_calls(),
            (STRINGS{"pipe_connect /to0", "pipe_connect_r /from0",
                     "pipe_write /to0 'Partition 0 is ready'", "pipe_connect /to1",
                     "pipe_connect_r /from1", "pipe_write /to1 'Partition 1 is ready'"}));

  make_pool(2, 4);
  fake_host::fail_pipe_connect(to_name(0));
  EXPECT_FALSE(connect());
  EXPECT_EQ(pipe_calls(), STRINGS{"pipe_connect /to0"});

  make_pool(2, 4);
  fake_host::fail_pipe_connect_r(from_name(1));
  EXPECT_FALSE(connect());
  EXPECT_EQ(writes(1), STRINGS{}) << "no order before both pipes stand";

  make_pool(3, 5);
  fake_host::push_pipe_write(to_name(1), false);
  EXPECT_FALSE(connect()) << "a failed first order";
  EXPECT_EQ(fake_host::count("pipe_connect /to2"), 0);
}

TEST_F(PoolFake, RunPipeIsConnectedAndListedFirstAndItsFailureSparesThePool) {
  make_pool(1, 3);
  SCOPED_THR_NAMED_PIPE run_pipe;
  run_pipe.named_pipe = new THR_NAMED_PIPE("/run");
  ASSERT_TRUE(IMPL::connect_pipes(run_pipe, &pool));
  EXPECT_EQ(pipe_calls().at(1), "pipe_connect /run");
  EXPECT_EQ(ipc_named_pipes, std::vector<THR_NAMED_PIPE*>{run_pipe.named_pipe});

  SCOPED_THR_NAMED_PIPE failing_pipe;
  failing_pipe.named_pipe = new THR_NAMED_PIPE("/failing");
  fake_host::fail_pipe_connect("/failing");
  EXPECT_FALSE(IMPL::connect_pipes(failing_pipe, &pool));
  EXPECT_EQ(pipe_calls().back(), "pipe_connect /failing") << "the pool is not touched";
}

TEST_F(PoolFake, FailedReadOrWriteEndsThePassBeforeLaterHelpers) {
  make_pool(3, 6);
  ASSERT_TRUE(connect());
  fake_host::push_pipe_read(from_name(0), "Helper 0 is done");
  fake_host::push_pipe_read_failure(from_name(1));
  fake_host::push_pipe_read(from_name(2), "Helper 2 is done");
  EXPECT_FALSE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(writes(0), (STRINGS{"Partition 0 is ready", "Partition 3 is ready"}));
  EXPECT_EQ(fake_host::count("pipe_read /from2"), 0);
  EXPECT_EQ(pool.next_partition, 4);

  make_pool(2, 6);
  ASSERT_TRUE(connect());
  fake_host::push_pipe_read(from_name(0), "Helper 0 is done");
  fake_host::push_pipe_write(to_name(0), false);
  EXPECT_FALSE(IMPL::handle_process_pool_communication(pool)) << "a failed order";
  EXPECT_EQ(pool.next_partition, 2) << "the partition is not counted";
  EXPECT_EQ(fake_host::count("pipe_read /from1"), 0);

  make_pool(3, 3);
  ASSERT_TRUE(connect());
  fake_host::push_pipe_write(to_name(1), false);
  EXPECT_FALSE(IMPL::handle_process_pool_communication(pool)) << "a failed notice";
  EXPECT_TRUE(pool.finish_pending);
  EXPECT_EQ(writes(0), (STRINGS{"Partition 0 is ready", "Finished all partitions"}));
  EXPECT_EQ(writes(2), STRINGS{"Partition 2 is ready"}) << "later helpers are not told";
}

TEST_F(PoolFake, ReadsAtMostOneReportsWorthAtATimeAndNothingWithoutHelpers) {
  make_pool(1, 3);
  ASSERT_TRUE(connect());
  fake_host::push_pipe_read(from_name(0), "Helper 0 is done" + std::string(600, ' '));
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(fake_host::count("pipe_read /from0"), 1);
  EXPECT_EQ(pool.next_partition, 2);

  make_pool(0, 3);
  ASSERT_TRUE(connect());
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(pipe_calls(), STRINGS{});
  EXPECT_TRUE(pool.finish_pending);
}
}  // namespace
