// The dispatcher's side of the helper pool, over real FIFOs; the helpers' ends are held here.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

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
  HELPER()
      : to_name(make_fifo()),
        from_name(make_fifo()),
        to(to_name.c_str()),
        from(from_name.c_str()),
        orders(to_name.c_str()),
        reports(from_name.c_str()) {
    EXPECT_TRUE(orders.connect_r()) << "the helper listens before the dispatcher connects";
  }
  // Open FIFOs work on once they are unlinked, so this may come first.
  void remove_fifos() {
    THR_NAMED_PIPE(to_name.c_str()).remove();
    THR_NAMED_PIPE(from_name.c_str()).remove();
  }
  ~HELPER() { remove_fifos(); }
  std::string to_name, from_name;
  THR_NAMED_PIPE to, from, orders, reports;
};

// A pool of helpers with its record filled as run_with_named_pipe fills it.
class Pool : public ::testing::Test {
 protected:
  void make_pool(int helper_count, int partition_count) {
    for (int i = 0; i < helper_count; ++i) {
      helpers.push_back(std::make_unique<HELPER>());
      to_helpers.push_back(&helpers.back()->to);
      from_helpers.push_back(&helpers.back()->from);
    }
    pool = POOL{to_helpers.data(), from_helpers.data(), helper_count,
                partition_count,   helper_count,        true};
  }
  void connect_pool(int helper_count, int partition_count) {
    make_pool(helper_count, partition_count);
    SCOPED_THR_NAMED_PIPE no_run_pipe;
    ASSERT_TRUE(IMPL::connect_pipes(no_run_pipe, &pool));
    for (auto& helper : helpers) ASSERT_TRUE(helper->reports.connect());
  }
  std::string orders(int helper) { return drain(helpers[helper]->orders); }
  void report(int helper, const std::string& text) {
    ASSERT_EQ(helpers[helper]->reports.write(text.data(), text.size()),
              static_cast<int32_t>(text.size()));
  }
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

// Helper 1 stays silent: its read of 0 bytes gives it nothing and the next helper is served.
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
  // The dying copy cannot tidy up after itself.
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
  EXPECT_DEATH(serve_without_leftovers(), "process_id == i") << "a report that does not parse";
}
}  // namespace
