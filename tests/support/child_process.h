// Starting a real child through the host's process service and following it to its end, for the
// tests of the host layer and of the example programs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "host/thr_process.h"

// Generous: the machine may be loaded.
inline constexpr auto CHILD_PATIENCE = std::chrono::seconds(60);

struct CHILD {
  unsigned long pid = 0;
  unsigned long output = 0;
  unsigned long input = 0;
};

// Starts command_line; with join_stderr its standard error shares the output pipe.
inline CHILD start_child(const std::string& command_line, bool join_stderr = true,
                         const std::string& option = "") {
  CHILD child;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result = thr_process_create2(command_line, option, &child.output,
                                    join_stderr ? &child.output : nullptr, &child.input, &stat);
  EXPECT_TRUE(result.has_value()) << command_line;
  if (result.has_value()) child.pid = result.value();
  return child;
}

inline bool before_deadline(std::chrono::steady_clock::time_point started) {
  return std::chrono::steady_clock::now() - started < CHILD_PATIENCE;
}

// Everything the child writes until its output pipe is finished.
inline std::string read_all(unsigned long pipe) {
  std::string text;
  const auto started = std::chrono::steady_clock::now();
  for (uint32_t waiting = 0; before_deadline(started) && thr_process_peek(pipe, &waiting) == 0;) {
    char buffer[256];
    uint32_t count = 0;
    if (waiting == 0)
      thr_msleep(5);
    else if (thr_process_read(pipe, buffer, sizeof buffer, &count) == 0)
      text.append(buffer, count);
  }
  return text;
}

// Waits (polling, never blocking) until the child has ended; the wait result.
inline int wait_for_end(unsigned long pid, THR_PROCESS_EXIT_CODE* code) {
  const auto started = std::chrono::steady_clock::now();
  int result = 0;
  while (before_deadline(started) && (result = thr_process_wait(pid, code, 1)) == 0) thr_msleep(5);
  return result;
}

inline void close_pipes(const CHILD& child) {
  thr_process_close_pipe(child.output);
  thr_process_close_pipe(child.input);
}
