// The example pool helper as a real process: its reading of glued and split orders. A whole pool
// of them served by the dispatcher is run through ipc_run by the tool's tests.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/thr_named_pipe.h"
#include "host/thr_process.h"

namespace {
using CLOCK = std::chrono::steady_clock;
constexpr auto PATIENCE = std::chrono::seconds(30);  // generous: the machine may be loaded

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
  unsigned long pid = 0, output = 0, stdin_pipe = 0;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto created = thr_process_create2(std::string(IPC_CHILDREN_DIR) +
                                         "/pool_helper --helper_index=4 --read_pipe=" + to_name +
                                         " --write_pipe=" + from_name + " --work_ms=5",
                                     "", &output, &output, &stdin_pipe, &stat);
  ASSERT_TRUE(created.has_value());
  pid = created.value();
  // Connects the way the dispatcher does: the helper's orders first, then its reports.
  ASSERT_TRUE(to.connect());
  ASSERT_TRUE(from.connect_r());
  auto order = [&](const std::string& text) {
    EXPECT_EQ(to.write(text.data(), text.size()), static_cast<int32_t>(text.size()));
  };
  auto next_report = [&] {
    char buffer[512];
    for (auto deadline = CLOCK::now() + PATIENCE; CLOCK::now() < deadline; thr_msleep(5)) {
      const int32_t count = from.read(buffer, sizeof buffer);
      if (count > 0) return std::string(buffer, count);
      if (count < 0) break;
    }
    return std::string();
  };

  order("Partition 7 is ready");
  EXPECT_EQ(next_report(), "Helper 4 is done");
  order("Parti");
  thr_msleep(50);  // give the helper a chance to read the first part alone
  order("tion 12 is");
  thr_msleep(50);
  order(" ready");
  EXPECT_EQ(next_report(), "Helper 4 is done");
  order("Partition 9 is readyFinished all partitions");
  EXPECT_EQ(next_report(), "Helper 4 is done") << "the last partition is still done";

  THR_PROCESS_EXIT_CODE code{-1, -1};
  int state = 0;
  for (auto deadline = CLOCK::now() + PATIENCE; state == 0 && CLOCK::now() < deadline;
       thr_msleep(5))
    state = thr_process_wait(pid, &code, 1);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(code.exit_code, 0) << "the notice ends the helper";
  if (state == 0) thr_process_terminate(pid, code);
  std::string text;
  char buffer[512];
  for (uint32_t waiting = 0; thr_process_peek(output, &waiting) == 0;) {
    uint32_t count = 0;
    if (waiting == 0)
      thr_msleep(5);
    else if (thr_process_read(output, buffer, sizeof buffer, &count) == 0)
      text.append(buffer, count);
  }
  EXPECT_EQ(
      text,
      "helper 4: partition 7 done\nhelper 4: partition 12 done\nhelper 4: partition 9 done\n");
  thr_process_close_pipe(output);
  thr_process_close_pipe(stdin_pipe);
  to.remove();
  from.remove();
}
}  // namespace
