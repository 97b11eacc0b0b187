// Events, thread identity and the memory service of the real host layer.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>

#include "host/mem.h"
#include "host/thr_event.h"
#include "host/thr_thread.h"

namespace {

TEST(HostEvent, ManualResetPostedFromOtherThreadsWakesEveryWaiter) {
  THR_EVENT event = thr_event_create();
  EXPECT_EQ(thr_event_wait(event, 10), 1) << "a new event is not signalled";
  std::atomic<int> woken{0};
  std::thread first([&] { woken += thr_event_wait(event, 60000) == 0; });
  std::thread second([&] { woken += thr_event_wait(event, ULONG_MAX) == 0; });
  std::thread([event] { thr_event_post(event); }).join();
  first.join();
  second.join();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(thr_event_wait(event, 0), 0) << "the event stays signalled until reset";
  thr_event_reset(event);
  EXPECT_EQ(thr_event_wait(event, 10), 1);
  thr_event_destroy(event);
  thr_event_destroy(nullptr);
}

TEST(HostThread, IdentityOfMainAndOtherThreads) {
  EXPECT_EQ(thr_thread_self(), THR_THREAD_MAIN_ID);
  uint64_t other = 0;
  std::thread([&] { other = thr_thread_self(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, THR_THREAD_MAIN_ID);
}

MEM_INITIALIZER file_initializer("COMMON_TEST");

TEST(HostMemory, InitializerCountsAndSprintfReplacesContent) {
  {
    MEM_INITIALIZER second("COMMON_TEST");
    EXPECT_EQ(mem_initializer_count("COMMON_TEST"), 2);
  }
  EXPECT_EQ(mem_initializer_count("COMMON_TEST"), 1);
  EXPECT_EQ(mem_initializer_count("NEVER_SEEN"), 0);

  std::string out = "old content that is longer";
  MEM_DETAIL::stl_raw_sprintf(&out, "%s=%d", "x", 42);
  EXPECT_EQ(out, "x=42");
  const std::string long_text(5000, 'a');
  MEM_DETAIL::stl_raw_sprintf(&out, "<%s>", long_text.c_str());
  EXPECT_EQ(out, "<" + long_text + ">");
}

}  // namespace
