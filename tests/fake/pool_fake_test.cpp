// Pool dispatch over the scripted fake host: each row scripts the helpers' pipes and expects the
// exact pipe operations, which a real FIFO could not show or fail on demand.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"

namespace {
using POOL = IPC_COMMAND::IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS;
using IMPL = IPC_COMMAND::IMPL;
using STRINGS = std::vector<std::string>;

const std::string READY0 = "write /to0 'Partition 0 is ready'";
const std::string DONE = "Finished all partitions";

// A pool of helpers whose pipes are /toN (orders) and /fromN (reports).
class PoolFake : public ::testing::Test {
 protected:
  void make_pool(int helper_count, int partition_count) {
    to_helpers.clear();
    from_helpers.clear();
    pipes.clear();
    fake_host::reset();
    for (int i = 0; i < helper_count; ++i) {
      for (auto* side : {&to_helpers, &from_helpers}) {
        const std::string name = (side == &to_helpers ? "/to" : "/from") + std::to_string(i);
        pipes.push_back(std::make_unique<THR_NAMED_PIPE>(name.c_str()));
        side->push_back(pipes.back().get());
      }
    }
    pool = POOL{to_helpers.data(), from_helpers.data(), helper_count,
                partition_count,   helper_count,        true};
    log_start = fake_host::calls().size();
  }
  bool connect() {
    SCOPED_THR_NAMED_PIPE no_run_pipe;
    return IMPL::connect_pipes(no_run_pipe, &pool);
  }
  // "fail_connect /to0", "fail_connect_r /from1", "fail_write /to1", "read /from0 TEXT",
  // "read /from0 -" (nothing waiting), "fail_read /from1"
  static void script(const std::string& step) {
    const size_t blank = step.find(' '), second = step.find(' ', blank + 1);
    const std::string verb = step.substr(0, blank);
    const std::string pipe = step.substr(blank + 1, second - blank - 1);
    const std::string text = second == std::string::npos ? "" : step.substr(second + 1);
    if (verb == "fail_connect") fake_host::fail_pipe_connect(pipe);
    if (verb == "fail_connect_r") fake_host::fail_pipe_connect_r(pipe);
    if (verb == "fail_write") fake_host::push_pipe_write(pipe, false);
    if (verb == "fail_read") fake_host::push_pipe_read_failure(pipe);
    if (verb == "read" && text == "-") fake_host::push_pipe_read_nothing(pipe);
    if (verb == "read" && text != "-") fake_host::push_pipe_read(pipe, text);
  }
  // The pipe operations since the pool was made (or since the last call), without "pipe_".
  STRINGS new_calls() {
    const STRINGS all = fake_host::calls();
    STRINGS fresh;
    for (size_t i = log_start; i < all.size(); ++i) fresh.push_back(all[i].substr(5));
    log_start = all.size();
    return fresh;
  }

  std::vector<std::unique_ptr<THR_NAMED_PIPE>> pipes;
  std::vector<THR_NAMED_PIPE*> to_helpers, from_helpers;
  POOL pool{};
  size_t log_start = 0;
};

TEST_F(PoolFake, ConnectsEachHelperFullyInTurnAndStopsAtTheFirstFailure) {
  const struct {
    int helpers, partitions;
    std::string fault;
    bool connected;
    STRINGS log;
  } rows[] = {
      {2,
       4,
       "",
       true,
       {"connect /to0", "connect_r /from0", READY0, "connect /to1", "connect_r /from1",
        "write /to1 'Partition 1 is ready'"}},
      {2, 4, "fail_connect /to0", false, {"connect /to0"}},
      {2,
       4,
       "fail_connect_r /from1",
       false,
       {"connect /to0", "connect_r /from0", READY0, "connect /to1", "connect_r /from1"}},
      {3,
       5,
       "fail_write /to1",
       false,
       {"connect /to0", "connect_r /from0", READY0, "connect /to1", "connect_r /from1",
        "write /to1 'Partition 1 is ready'"}},
      // More helpers than partitions: each still gets its own number.
      {3,
       2,
       "",
       true,
       {"connect /to0", "connect_r /from0", READY0, "connect /to1", "connect_r /from1",
        "write /to1 'Partition 1 is ready'", "connect /to2", "connect_r /from2",
        "write /to2 'Partition 2 is ready'"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    make_pool(row.helpers, row.partitions);
    if (!row.fault.empty()) script(row.fault);
    EXPECT_EQ(connect(), row.connected);
    EXPECT_EQ(new_calls(), row.log);
  }
}

// Each pass reads one report per helper in helper order, answers it with the next partition,
// and sends the notice once, as soon as the last partition is out.
TEST_F(PoolFake, PassesHandOutPartitionsInHelperOrderAndTheNoticeOnce) {
  const struct {
    const char* name;
    int helpers, partitions;
    STRINGS script;  // after connecting
    int passes;
    bool ok;  // of the last pass
    STRINGS log;
    int next_partition;
    bool finish_pending;
  } rows[] = {
      {"three helpers, five partitions",
       3,
       5,
       {"read /from0 -", "read /from0 -", "read /from0 Helper 0 is done", "read /from1 -",
        "read /from1 Helper 1 is done", "read /from2 -", "read /from2 -"},
       4,
       true,
       {"read /from0", "read /from1", "read /from2",                                       //
        "read /from0", "read /from1", "write /to1 'Partition 3 is ready'", "read /from2",  //
        "read /from0", "write /to0 'Partition 4 is ready'", "write /to0 '" + DONE + "'",
        "write /to1 '" + DONE + "'", "write /to2 '" + DONE + "'"},
       5,
       false},
      {"two reports in one pass",
       3,
       6,
       {"read /from0 Helper 0 is done", "read /from2 Helper 2 is done"},
       1,
       true,
       {"read /from0", "write /to0 'Partition 3 is ready'", "read /from1", "read /from2",
        "write /to2 'Partition 4 is ready'"},
       5,
       true},
      {"as many helpers as partitions",
       2,
       2,
       {},
       2,
       true,
       {"write /to0 '" + DONE + "'", "write /to1 '" + DONE + "'"},
       2,
       false},
      {"more helpers than partitions", 3, 2, {}, 2, true, {}, 3, true},
      {"no helpers", 0, 3, {}, 1, true, {}, 0, true},
      {"a long report is one read",
       1,
       3,
       {"read /from0 Helper 0 is done" + std::string(600, ' ')},
       1,
       true,
       {"read /from0", "write /to0 'Partition 1 is ready'"},
       2,
       true},
      {"a failed read",
       3,
       6,
       {"read /from0 Helper 0 is done", "fail_read /from1"},
       1,
       false,
       {"read /from0", "write /to0 'Partition 3 is ready'", "read /from1"},
       4,
       true},
      {"a failed order",
       2,
       6,
       {"read /from0 Helper 0 is done", "fail_write /to0"},
       1,
       false,
       {"read /from0", "write /to0 'Partition 2 is ready'"},
       2,
       true},
      {"a failed notice",
       3,
       3,
       {"fail_write /to1"},
       1,
       false,
       {"write /to0 '" + DONE + "'", "write /to1 '" + DONE + "'"},
       3,
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    make_pool(row.helpers, row.partitions);
    ASSERT_TRUE(connect());
    new_calls();
    for (const std::string& step : row.script) script(step);
    bool ok = true;
    for (int pass = 0; pass < row.passes; ++pass)
      ok = IMPL::handle_process_pool_communication(pool);
    EXPECT_EQ(ok, row.ok);
    EXPECT_EQ(new_calls(), row.log);
    EXPECT_EQ(pool.next_partition, row.next_partition);
    EXPECT_EQ(pool.finish_pending, row.finish_pending);
  }
}

TEST_F(PoolFake, RunPipeIsConnectedAndListedFirstAndItsFailureSparesThePool) {
  make_pool(1, 3);
  SCOPED_THR_NAMED_PIPE run_pipe;
  run_pipe.named_pipe = new THR_NAMED_PIPE("/run");
  ASSERT_TRUE(IMPL::connect_pipes(run_pipe, &pool));
  EXPECT_EQ(new_calls().at(1), "connect /run");
  EXPECT_EQ(ipc_named_pipes, std::vector<THR_NAMED_PIPE*>{run_pipe.named_pipe});

  SCOPED_THR_NAMED_PIPE failing_pipe;
  failing_pipe.named_pipe = new THR_NAMED_PIPE("/failing");
  fake_host::fail_pipe_connect("/failing");
  EXPECT_FALSE(IMPL::connect_pipes(failing_pipe, &pool));
  EXPECT_EQ(new_calls(), (STRINGS{"new /failing", "connect /failing"}))
      << "the pool is not touched";
}

TEST_F(PoolFake, NothingHappensOffTheMainThread) {
  make_pool(2, 5);
  auto off_main = std::async(std::launch::async, [&] {
    return connect() && IMPL::handle_process_pool_communication(pool);
  });
  EXPECT_TRUE(off_main.get());
  EXPECT_EQ(new_calls(), STRINGS{});
  EXPECT_EQ(pool.next_partition, 2);
}

TEST_F(PoolFake, AReportFromAnotherHelperOrThatDoesNotParseIsAnInternalError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the dying copy must be the main thread
  for (const char* report : {"Helper 2 is done", "Helper done"}) {
    make_pool(3, 5);
    ASSERT_TRUE(connect());
    script(std::string("read /from1 ") + report);
    EXPECT_DEATH(IMPL::handle_process_pool_communication(pool),
                 "INTERNAL ERROR: process_id == i \\(IPC ipc/ipc_command:925\\)")
        << report;
  }
}

}  // namespace
