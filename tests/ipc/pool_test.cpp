// The dispatcher's side of the helper pool, over real FIFOs; the helpers' ends are held here.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "host/cfg.h"
#include "ipc/ipc_command_impl.h"

namespace {
using POOL = IPC_COMMAND::IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS;
using IMPL = IPC_COMMAND::IMPL;

// Everything waiting in the pipe now.
std::string drain(THR_NAMED_PIPE& pipe) {
  std::string text;
  char buffer[512];
  for (int32_t count; (count = pipe.read(buffer, sizeof buffer)) > 0;) text.append(buffer, count);
  return text;
}

std::string make_fifo() {
  THR_NAMED_PIPE maker("");
  EXPECT_TRUE(maker.create());
  return maker.pipe_name;
}

// One helper's two FIFOs: the library's ends (in the pool's arrays) and the helper's ends.
struct HELPER {
  HELPER() : to_name(make_fifo()), from_name(make_fifo()) {
    to_library_end = std::make_unique<THR_NAMED_PIPE>(to_name.c_str());
    from_library_end = std::make_unique<THR_NAMED_PIPE>(from_name.c_str());
    orders = std::make_unique<THR_NAMED_PIPE>(to_name.c_str());
    EXPECT_TRUE(orders->connect_r()) << "the helper listens before the dispatcher connects";
  }
  ~HELPER() {
    orders.reset();
    reports.reset();
    to_library_end.reset();
    from_library_end.reset();
    remove_fifos();
  }
  void remove_fifos() {
    THR_NAMED_PIPE(to_name.c_str()).remove();
    THR_NAMED_PIPE(from_name.c_str()).remove();
  }
  // After the dispatcher has opened its reading end.
  void open_reports() {
    reports = std::make_unique<THR_NAMED_PIPE>(from_name.c_str());
    ASSERT_TRUE(reports->connect());
  }
  void report(const std::string& text) {
    ASSERT_EQ(reports->write(text.data(), text.size()), static_cast<int32_t>(text.size()));
  }
  std::string to_name, from_name;
  std::unique_ptr<THR_NAMED_PIPE> to_library_end, from_library_end;
  std::unique_ptr<THR_NAMED_PIPE> orders, reports;
};

// A pool of helpers with its record filled as run_with_named_pipe fills it.
class Pool : public ::testing::Test {
 protected:
  void make_pool(int helper_count, int partition_count) {
    for (int i = 0; i < helper_count; ++i) helpers.push_back(std::make_unique<HELPER>());
    for (auto& helper : helpers) {
      to_helpers.push_back(helper->to_library_end.get());
      from_helpers.push_back(helper->from_library_end.get());
    }
    pool = POOL{to_helpers.data(), from_helpers.data(), helper_count,
                partition_count,   helper_count,        true};
  }
  void connect_pool(int helper_count, int partition_count) {
    make_pool(helper_count, partition_count);
    SCOPED_THR_NAMED_PIPE no_run_pipe;
    ASSERT_TRUE(IMPL::connect_pipes(no_run_pipe, &pool));
    for (auto& helper : helpers) helper->open_reports();
  }
  void TearDown() override { cfg_unset_value("thr_named_pipe_connect_timeout"); }
  std::string orders(int helper) { return drain(*helpers[helper]->orders); }
  void report(int helper, const std::string& text) { helpers[helper]->report(text); }
  // The report the dispatcher left unread, if any.
  std::string unread_report(int helper) { return drain(*from_helpers[helper]); }

  std::vector<std::unique_ptr<HELPER>> helpers;
  std::vector<THR_NAMED_PIPE*> to_helpers, from_helpers;
  POOL pool{};
};

TEST_F(Pool, ThreeHelpersWorkThroughFivePartitions) {
  connect_pool(3, 5);
  EXPECT_EQ(orders(0), "Partition 0 is ready");
  EXPECT_EQ(orders(1), "Partition 1 is ready");
  EXPECT_EQ(orders(2), "Partition 2 is ready");
  EXPECT_EQ(pool.next_partition, 3);

  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool)) << "nobody has reported yet";
  EXPECT_EQ(pool.next_partition, 3);

  report(1, "Helper 1 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(1), "Partition 3 is ready");
  EXPECT_EQ(orders(0), "");
  EXPECT_TRUE(pool.finish_pending);

  report(0, "Helper 0 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0), "Partition 4 is readyFinished all partitions")
      << "the last partition and the notice go out in the same pass";
  EXPECT_EQ(orders(1), "Finished all partitions");
  EXPECT_EQ(orders(2), "Finished all partitions");
  EXPECT_EQ(pool.next_partition, 5);
  EXPECT_FALSE(pool.finish_pending);

  report(2, "Helper 2 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0) + orders(1) + orders(2), "") << "the notice goes out once";
  EXPECT_EQ(unread_report(2), "Helper 2 is done") << "reports after the notice are not read";
}

TEST_F(Pool, ReportsInOnePassGetConsecutivePartitionsInHelperOrder) {
  connect_pool(3, 6);
  orders(0), orders(1), orders(2);
  report(2, "Helper 2 is done");
  report(0, "Helper 0 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0), "Partition 3 is ready");
  EXPECT_EQ(orders(1), "");
  EXPECT_EQ(orders(2), "Partition 4 is ready");
  EXPECT_EQ(pool.next_partition, 5);
}

TEST_F(Pool, EachHelperIsReadOncePerPass) {
  connect_pool(1, 4);
  orders(0);
  report(0, "Helper 0 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  report(0, "Helper 0 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0), "Partition 1 is readyPartition 2 is ready");
  EXPECT_EQ(pool.next_partition, 3);
}

TEST_F(Pool, SilentHelperLeavesTheNextPartitionAndTheNextHelperIsServed) {
  connect_pool(2, 5);
  orders(0), orders(1);
  report(1, "Helper 1 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0), "");
  EXPECT_EQ(orders(1), "Partition 2 is ready");
  EXPECT_EQ(pool.next_partition, 3);
}

TEST_F(Pool, AsManyHelpersAsPartitionsFinishesAtOnceWithoutReading) {
  connect_pool(2, 2);
  EXPECT_EQ(orders(0), "Partition 0 is ready");
  report(0, "Helper 0 is done");
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0), "Finished all partitions");
  EXPECT_EQ(orders(1), "Partition 1 is readyFinished all partitions");
  EXPECT_FALSE(pool.finish_pending);
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0) + orders(1), "");
  EXPECT_EQ(unread_report(0), "Helper 0 is done");
}

TEST_F(Pool, MoreHelpersThanPartitionsNeverFinishes) {
  connect_pool(3, 2);
  EXPECT_EQ(orders(2), "Partition 2 is ready") << "every helper gets its own number";
  report(0, "Helper 0 is done");
  for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0) + orders(1) + orders(2), "Partition 0 is readyPartition 1 is ready");
  EXPECT_TRUE(pool.finish_pending);
  EXPECT_EQ(pool.next_partition, 3);
  EXPECT_EQ(unread_report(0), "Helper 0 is done");
}

TEST_F(Pool, HelperThatHasGoneEndsThePass) {
  connect_pool(3, 6);
  report(1, "Helper 1 is done");
  report(2, "Helper 2 is done");
  helpers[1]->orders.reset();  // helper 1 dies before it gets its answer
  EXPECT_FALSE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(pool.next_partition, 3) << "a failed hand-out does not count";
  EXPECT_EQ(unread_report(2), "Helper 2 is done") << "later helpers wait for the next pass";
}

TEST_F(Pool, FailedReadEndsThePass) {
  connect_pool(3, 6);
  orders(0);
  report(0, "Helper 0 is done");
  report(2, "Helper 2 is done");
  THR_NAMED_PIPE closed("");  // reading from a pipe that is not open fails
  from_helpers[1] = &closed;
  EXPECT_FALSE(IMPL::handle_process_pool_communication(pool));
  EXPECT_EQ(orders(0), "Partition 3 is ready") << "helpers before the failure are served";
  EXPECT_EQ(pool.next_partition, 4);
  from_helpers[1] = helpers[1]->from_library_end.get();
  EXPECT_EQ(unread_report(2), "Helper 2 is done");
}

TEST_F(Pool, FailedFinishNoticeStaysPending) {
  connect_pool(2, 2);
  helpers[1]->orders.reset();
  EXPECT_FALSE(IMPL::handle_process_pool_communication(pool));
  EXPECT_TRUE(pool.finish_pending);
  EXPECT_EQ(orders(0), "Partition 0 is readyFinished all partitions");
}

TEST_F(Pool, ConnectsTheRunPipeAndAPoolOfNoHelpers) {
  make_pool(0, 3);
  SCOPED_THR_NAMED_PIPE run_pipe;
  run_pipe.named_pipe = new THR_NAMED_PIPE("");
  ASSERT_TRUE(run_pipe.named_pipe->create());
  THR_NAMED_PIPE child_end(run_pipe.named_pipe->pipe_name);
  ASSERT_TRUE(child_end.connect_r());
  EXPECT_TRUE(IMPL::connect_pipes(run_pipe, &pool));
  EXPECT_TRUE(run_pipe.registered);
  EXPECT_TRUE(IMPL::handle_process_pool_communication(pool));
  EXPECT_TRUE(pool.finish_pending) << "no helper ever asks, so the pool never finishes";
}

TEST_F(Pool, RunPipeThatCannotConnectStopsBeforeThePool) {
  cfg_set_value("thr_named_pipe_connect_timeout", "50");
  make_pool(1, 3);
  SCOPED_THR_NAMED_PIPE run_pipe;
  run_pipe.named_pipe = new THR_NAMED_PIPE("");
  ASSERT_TRUE(run_pipe.named_pipe->create());
  std::string name = run_pipe.named_pipe->pipe_name;
  EXPECT_FALSE(IMPL::connect_pipes(run_pipe, &pool));
  EXPECT_EQ(orders(0), "") << "the pool is not touched";
  THR_NAMED_PIPE(name.c_str()).remove();
}

TEST_F(Pool, HelperThatDoesNotListenFailsTheConnectionAndLaterOnesAreLeftAlone) {
  cfg_set_value("thr_named_pipe_connect_timeout", "50");
  make_pool(3, 5);
  helpers[1]->orders.reset();
  SCOPED_THR_NAMED_PIPE no_run_pipe;
  EXPECT_FALSE(IMPL::connect_pipes(no_run_pipe, &pool));
  EXPECT_EQ(orders(0), "Partition 0 is ready");
  EXPECT_EQ(orders(2), "") << "helpers after the failed one are not connected";
}

TEST_F(Pool, ReportPipeThatCannotBeOpenedFailsTheConnection) {
  make_pool(3, 5);
  THR_NAMED_PIPE missing("/nonexistent-directory-for-fifos/pipe");
  from_helpers[1] = &missing;
  SCOPED_THR_NAMED_PIPE no_run_pipe;
  EXPECT_FALSE(IMPL::connect_pipes(no_run_pipe, &pool));
  EXPECT_EQ(orders(1), "") << "no order before both of the helper's pipes stand";
  EXPECT_EQ(orders(2), "");
}

TEST_F(Pool, NothingHappensOffTheMainThread) {
  make_pool(2, 5);
  SCOPED_THR_NAMED_PIPE no_run_pipe;
  auto off_main = std::async(std::launch::async, [&] {
    return IMPL::connect_pipes(no_run_pipe, &pool) && IMPL::handle_process_pool_communication(pool);
  });
  EXPECT_TRUE(off_main.get());
  EXPECT_EQ(orders(0) + orders(1), "") << "no order was written";
  EXPECT_EQ(to_helpers[0]->write("x", 1), -1) << "the dispatcher's ends were never connected";
  EXPECT_EQ(pool.next_partition, 2);
  EXPECT_TRUE(pool.finish_pending);
}

// The dying child must count as the main thread, and a forked child does not (its thread id is
// new), so these death tests run in a freshly executed copy of the test program.
class PoolDeathTest : public Pool {
 protected:
  PoolDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  // The dying copy cannot tidy up after itself; open FIFOs work on once they are unlinked.
  bool serve_without_leftovers() {
    for (auto& helper : helpers) helper->remove_fifos();
    return IMPL::handle_process_pool_communication(pool);
  }
};

TEST_F(PoolDeathTest, ReportFromAnotherHelperIsAnInternalError) {
  connect_pool(3, 5);
  report(1, "Helper 2 is done");
  EXPECT_DEATH(serve_without_leftovers(),
               "INTERNAL ERROR: process_id == i \\(IPC ipc/ipc_command:925\\)");
}

TEST_F(PoolDeathTest, ReportThatDoesNotParseIsAnInternalError) {
  connect_pool(1, 5);
  report(0, "Helper done");
  EXPECT_DEATH(serve_without_leftovers(), "process_id == i");
}
}  // namespace
