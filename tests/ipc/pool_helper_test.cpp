// The example pool helper as a real process: its reading of glued and split orders, and a
// whole pool of them served by the library's dispatcher.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/thr_process.h"
#include "ipc/ipc_command_impl.h"

namespace {
using POOL = IPC_COMMAND::IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS;
using IMPL = IPC_COMMAND::IMPL;
using CLOCK = std::chrono::steady_clock;

constexpr auto PATIENCE = std::chrono::seconds(30);  // generous: the machine may be loaded

std::string make_fifo() {
  THR_NAMED_PIPE maker("");
  EXPECT_TRUE(maker.create());
  return maker.pipe_name;
}

// One helper process with its two FIFOs and the dispatcher's ends of them.
struct HELPER_PROCESS {
  explicit HELPER_PROCESS(int index) : to_name(make_fifo()), from_name(make_fifo()) {
    to = std::make_unique<THR_NAMED_PIPE>(to_name.c_str());
    from = std::make_unique<THR_NAMED_PIPE>(from_name.c_str());
    std::string command = std::string(IPC_CHILDREN_DIR) +
                          "/pool_helper --helper_index=" + std::to_string(index) +
                          " --read_pipe=" + to_name + " --write_pipe=" + from_name + " --work_ms=5";
    THR_SYS_FUNC_STAT_STRUCT stat{};
    auto created = thr_process_create2(command, "", &output, &output, &stdin_pipe, &stat);
    EXPECT_TRUE(created.has_value());
    if (created.has_value()) pid = created.value();
  }
  ~HELPER_PROCESS() {
    if (pid != 0 && thr_process_wait(pid, &code, 1) == 0) thr_process_terminate(pid, {0, 1});
    thr_process_close_pipe(output);
    thr_process_close_pipe(stdin_pipe);
    to.reset();
    from.reset();
    THR_NAMED_PIPE(to_name.c_str()).remove();
    THR_NAMED_PIPE(from_name.c_str()).remove();
  }
  // Connects the way the dispatcher does: the helper's orders first, then its reports.
  void connect() {
    ASSERT_TRUE(to->connect());
    ASSERT_TRUE(from->connect_r());
  }
  void order(const std::string& text) {
    ASSERT_EQ(to->write(text.data(), text.size()), static_cast<int32_t>(text.size()));
  }
  // The next report, waiting for it as long as it takes a loaded machine.
  std::string next_report() {
    char buffer[512];
    for (auto deadline = CLOCK::now() + PATIENCE; CLOCK::now() < deadline; thr_msleep(5)) {
      int32_t count = from->read(buffer, sizeof buffer);
      if (count > 0) return std::string(buffer, count);
      if (count < 0) break;
    }
    return "";
  }
  // Waits for the helper to end; its exit code, or -1 when it did not end in time.
  int exit_code() {
    for (auto deadline = CLOCK::now() + PATIENCE; CLOCK::now() < deadline; thr_msleep(5)) {
      int state = thr_process_wait(pid, &code, 1);
      if (state == -1) break;
      if (state != 0) {
        pid = 0;
        return code.exit_code;
      }
    }
    return -1;
  }
  // What the helper wrote to standard output, once it has ended.
  std::string output_text() {
    std::string text;
    char buffer[512];
    for (uint32_t waiting = 0; thr_process_peek(output, &waiting) == 0;) {
      if (waiting == 0) {
        thr_msleep(5);
        continue;
      }
      uint32_t count = 0;
      if (thr_process_read(output, buffer, sizeof buffer, &count) != 0) break;
      text.append(buffer, count);
    }
    return text;
  }

  std::string to_name, from_name;
  std::unique_ptr<THR_NAMED_PIPE> to, from;
  unsigned long pid = 0, output = 0, stdin_pipe = 0;
  THR_PROCESS_EXIT_CODE code{};
};

TEST(PoolHelper, TakesGluedAndSplitOrdersApartAndEndsOnTheNotice) {
  HELPER_PROCESS helper(4);
  helper.connect();
  helper.order("Partition 7 is ready");
  EXPECT_EQ(helper.next_report(), "Helper 4 is done");

  helper.order("Parti");
  thr_msleep(50);  // give the helper a chance to read the first part alone
  helper.order("tion 12 is");
  thr_msleep(50);
  helper.order(" ready");
  EXPECT_EQ(helper.next_report(), "Helper 4 is done");

  helper.order("Partition 9 is readyFinished all partitions");
  EXPECT_EQ(helper.next_report(), "Helper 4 is done") << "the last partition is still done";
  EXPECT_EQ(helper.exit_code(), 0);
  EXPECT_EQ(helper.output_text(),
            "helper 4: partition 7 done\nhelper 4: partition 12 done\n"
            "helper 4: partition 9 done\n");
}

TEST(PoolHelper, ThreeHelpersServedByTheDispatcherDoEveryPartitionOnce) {
  constexpr int HELPERS = 3, PARTITIONS = 7;
  std::vector<std::unique_ptr<HELPER_PROCESS>> helpers;
  std::vector<THR_NAMED_PIPE*> to_helpers, from_helpers;
  for (int i = 0; i < HELPERS; ++i) {
    helpers.push_back(std::make_unique<HELPER_PROCESS>(i));
    to_helpers.push_back(helpers.back()->to.get());
    from_helpers.push_back(helpers.back()->from.get());
  }
  POOL pool{to_helpers.data(), from_helpers.data(), HELPERS, PARTITIONS, HELPERS, true};
  SCOPED_THR_NAMED_PIPE no_run_pipe;
  ASSERT_TRUE(IMPL::connect_pipes(no_run_pipe, &pool));

  for (auto deadline = CLOCK::now() + PATIENCE; pool.finish_pending && CLOCK::now() < deadline;
       thr_msleep(5))
    ASSERT_TRUE(IMPL::handle_process_pool_communication(pool));
  ASSERT_FALSE(pool.finish_pending);

  std::multiset<std::string> done;
  for (int i = 0; i < HELPERS; ++i) {
    EXPECT_EQ(helpers[i]->exit_code(), 0);
    std::istringstream lines(helpers[i]->output_text());
    for (std::string line; std::getline(lines, line);)
      done.insert(line.substr(line.find("partition")));
  }
  std::multiset<std::string> every_partition_once;
  for (int p = 0; p < PARTITIONS; ++p)
    every_partition_once.insert("partition " + std::to_string(p) + " done");
  EXPECT_EQ(done, every_partition_once);
}
}  // namespace
