// The example pool helper as a real process: its reading of glued and split orders, which the
// dispatcher's whole runs (through ipc_run) never split.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/thr_named_pipe.h"
#include "tests/support/child_process.h"

namespace {

// A FIFO lasts as long as the object that made it; these makers last as long as the program.
std::string make_fifo() {
  static std::vector<std::unique_ptr<THR_NAMED_PIPE>> makers;
  makers.push_back(std::make_unique<THR_NAMED_PIPE>(""));
  EXPECT_TRUE(makers.back()->create());
  return makers.back()->pipe_name;
}

TEST(PoolHelper, TakesGluedAndSplitOrdersApartAndEndsOnTheNotice) {
  const std::string to_name = make_fifo(), from_name = make_fifo();
  THR_NAMED_PIPE to(to_name.c_str()), from(from_name.c_str());
  const CHILD helper = start_child(std::string(IPC_CHILDREN_DIR) +
                                   "/pool_helper --helper_index=4 --read_pipe=" + to_name +
                                   " --write_pipe=" + from_name + " --work_ms=5");
  // Connects the way the dispatcher does: the helper's orders first, then its reports.
  ASSERT_TRUE(to.connect());
  ASSERT_TRUE(from.connect_r());
  const auto order = [&](const std::string& text, int pause_ms = 0) {
    EXPECT_EQ(to.write(text.data(), text.size()), static_cast<int32_t>(text.size()));
    thr_msleep(pause_ms);  // gives the helper a chance to read a part alone
  };
  const auto next_report = [&] {
    char buffer[512];
    int32_t count = 0;
    for (auto started = std::chrono::steady_clock::now(); count == 0 && before_deadline(started);)
      if ((count = from.read(buffer, sizeof buffer)) == 0) thr_msleep(5);
    return std::string(buffer, static_cast<size_t>(std::max(count, 0)));
  };

  order("Partition 7 is ready");
  EXPECT_EQ(next_report(), "Helper 4 is done");
  order("Parti", 50);
  order("tion 12 is", 50);
  order(" ready");
  EXPECT_EQ(next_report(), "Helper 4 is done");
  order("Partition 9 is readyFinished all partitions");
  EXPECT_EQ(next_report(), "Helper 4 is done") << "the last partition is still done";

  THR_PROCESS_EXIT_CODE code{-1, -1};
  const int ended = wait_for_end(helper.pid, &code);
  if (ended == 0) thr_process_terminate(helper.pid, code);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(code.exit_code, 0) << "the notice ends the helper";
  EXPECT_EQ(
      read_all(helper.output),
      "helper 4: partition 7 done\nhelper 4: partition 12 done\nhelper 4: partition 9 done\n");
  close_pipes(helper);
  to.remove();
  from.remove();
}
}  // namespace
