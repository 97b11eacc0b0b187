// Pool dispatch over the scripted fake host: each row scripts the helpers' pipes and expects the
// exact pipe operations, which a real FIFO could not show or fail on demand.
//
// Pipe operations are written short: "+to0" connect, "+from0" connect_r, "from0?" read,
// "to1<3" the order for partition 3, "to1<end" the notice.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host/fake/fake_host.h"
#include "ipc/ipc_command_impl.h"

namespace {
using POOL = IPC_COMMAND::IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS;
using IMPL = IPC_COMMAND::IMPL;

// The short form of one logged pipe operation ("pipe_connect /to0" and so on).
std::string shorten(const std::string& call) {
  const std::string verb = call.substr(0, call.find(' '));
  const std::string rest = call.substr(verb.size() + 2);  // after " /"
  if (verb == "pipe_connect" || verb == "pipe_connect_r") return "+" + rest;
  if (verb == "pipe_read") return rest + "?";
  if (verb != "pipe_write") return verb.substr(5) + " " + rest;
  int partition = 0;
  const std::string pipe = rest.substr(0, rest.find(' '));
  if (std::sscanf(rest.c_str(), "%*s 'Partition %d", &partition) == 1)
    return pipe + "<" + std::to_string(partition);
  return pipe + "<end";
}

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
  // Steps separated by ';': "fail +to0", "fail +from1", "fail to1<" (the next write), "fail
  // from1?", "from0 TEXT" (a report), "from0 -" (nothing waiting).
  static void script(const std::string& steps) {
    std::istringstream in(steps);
    for (std::string step; std::getline(in >> std::ws, step, ';');) {
      if (step.rfind("fail ", 0) != 0) {
        const std::string pipe = "/" + step.substr(0, step.find(' '));
        const std::string text = step.substr(step.find(' ') + 1);
        if (text == "-") fake_host::push_pipe_read_nothing(pipe);
        if (text != "-") fake_host::push_pipe_read(pipe, text);
        continue;
      }
      const char kind = step[5] == '+' ? '+' : step.back();
      const std::string pipe =
          "/" + step.substr(kind == '+' ? 6 : 5, kind == '+' ? std::string::npos : step.size() - 6);
      if (kind == '+' && pipe.rfind("/to", 0) == 0) fake_host::fail_pipe_connect(pipe);
      if (kind == '+' && pipe.rfind("/from", 0) == 0) fake_host::fail_pipe_connect_r(pipe);
      if (kind == '<') fake_host::push_pipe_write(pipe, false);
      if (kind == '?') fake_host::push_pipe_read_failure(pipe);
    }
  }
  // The pipe operations since the pool was made, or since the last call, in short form.
  std::string new_calls() {
    const std::vector<std::string> all = fake_host::calls();
    std::string fresh;
    for (size_t i = log_start; i < all.size(); ++i)
      fresh += (fresh.empty() ? "" : " ") + shorten(all[i]);
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
    const char* fault;
    bool connected;
    const char* log;
  } rows[] = {
      // clang-format off
      {2, 4, "", true, "+to0 +from0 to0<0 +to1 +from1 to1<1"},
      {2, 4, "fail +to0", false, "+to0"},
      {2, 4, "fail +from1", false, "+to0 +from0 to0<0 +to1 +from1"},
      {3, 5, "fail to1<", false, "+to0 +from0 to0<0 +to1 +from1 to1<1"},
      {3, 2, "", true, "+to0 +from0 to0<0 +to1 +from1 to1<1 +to2 +from2 to2<2"},  // own numbers
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    make_pool(row.helpers, row.partitions);
    script(row.fault);
    EXPECT_EQ(connect(), row.connected);
    EXPECT_EQ(new_calls(), row.log);
  }
}

// Each pass reads one report per helper in helper order, answers it with the next partition,
// and sends the notice once, as soon as the last partition is out.
TEST_F(PoolFake, PassesHandOutPartitionsInHelperOrderAndTheNoticeOnce) {
  const std::string long_report = "from0 Helper 0 is done" + std::string(600, ' ');
  const struct {
    int helpers, partitions, passes;
    std::string script;  // after connecting
    bool ok;             // of the last pass
    const char* log;
    int next_partition;
    bool finish_pending;
  } rows[] = {
      // clang-format off
      {3, 5, 4, "from0 -; from0 -; from0 Helper 0 is done; from1 -; from1 Helper 1 is done",
       true, "from0? from1? from2? from0? from1? to1<3 from2? from0? to0<4 to0<end to1<end to2<end",
       5, false},
      {3, 6, 1, "from0 Helper 0 is done; from2 Helper 2 is done", true,
       "from0? to0<3 from1? from2? to2<4", 5, true},
      {2, 2, 2, "", true, "to0<end to1<end", 2, false},    // as many helpers as partitions
      {3, 2, 2, "", true, "", 3, true},                    // more helpers than partitions
      {0, 3, 1, "", true, "", 0, true},                    // no helpers
      {1, 3, 1, long_report, true, "from0? to0<1", 2, true},  // one read is one report
      {3, 6, 1, "from0 Helper 0 is done; fail from1?", false, "from0? to0<3 from1?", 4, true},
      {2, 6, 1, "from0 Helper 0 is done; fail to0<", false, "from0? to0<2", 2, true},
      {3, 3, 1, "fail to1<", false, "to0<end to1<end", 3, true},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    make_pool(row.helpers, row.partitions);
    ASSERT_TRUE(connect());
    new_calls();
    script(row.script);
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
  SCOPED_THR_NAMED_PIPE run_pipe, failing_pipe;
  run_pipe.named_pipe = new THR_NAMED_PIPE("/run");
  ASSERT_TRUE(IMPL::connect_pipes(run_pipe, &pool));
  EXPECT_EQ(new_calls(), "new run +run +to0 +from0 to0<0");
  EXPECT_EQ(ipc_named_pipes, std::vector<THR_NAMED_PIPE*>{run_pipe.named_pipe});
  failing_pipe.named_pipe = new THR_NAMED_PIPE("/failing");
  fake_host::fail_pipe_connect("/failing");
  EXPECT_FALSE(IMPL::connect_pipes(failing_pipe, &pool));
  EXPECT_EQ(new_calls(), "new failing +failing") << "the pool is not touched";
}

TEST_F(PoolFake, NothingHappensOffTheMainThread) {
  make_pool(2, 5);
  auto off_main = std::async(std::launch::async, [&] {
    return connect() && IMPL::handle_process_pool_communication(pool);
  });
  EXPECT_TRUE(off_main.get());
  EXPECT_EQ(new_calls(), "");
  EXPECT_EQ(pool.next_partition, 2);
}

TEST_F(PoolFake, AReportFromAnotherHelperOrThatDoesNotParseIsAnInternalError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the dying copy must be the main thread
  for (const char* report : {"from1 Helper 2 is done", "from1 Helper done"}) {
    make_pool(3, 5);
    ASSERT_TRUE(connect());
    script(report);
    EXPECT_DEATH(IMPL::handle_process_pool_communication(pool),
                 "INTERNAL ERROR: process_id == i \\(IPC ipc/ipc_command:925\\)")
        << report;
  }
}

}  // namespace
