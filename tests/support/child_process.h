// Starting a real child through the host's process service (standard error joining its output)
// and following it to its end, never blocking for longer than a loaded machine could need.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "host/thr_process.h"

struct CHILD {
  unsigned long pid = 0, output = 0, input = 0;
};

inline CHILD start_child(const std::string& command_line) {
  CHILD child;
  THR_SYS_FUNC_STAT_STRUCT stat{};
  auto result =
      thr_process_create2(command_line, "", &child.output, &child.output, &child.input, &stat);
  EXPECT_TRUE(result.has_value()) << command_line;
  if (result.has_value()) child.pid = result.value();
  return child;
}

inline bool before_deadline(std::chrono::steady_clock::time_point started) {
  return std::chrono::steady_clock::now() - started < std::chrono::seconds(60);
}

// Everything the child writes until its output pipe is finished.
inline std::string read_all(unsigned long pipe) {
  std::string text;
  char buffer[256];
  uint32_t waiting = 0, count = 0;
  for (auto started = std::chrono::steady_clock::now();
       before_deadline(started) && thr_process_peek(pipe, &waiting) == 0;)
    if (waiting == 0)
      thr_msleep(5);
    else if (thr_process_read(pipe, buffer, sizeof buffer, &count) == 0)
      text.append(buffer, count);
  return text;
}

// Polls until the child has ended; the wait result.
inline int wait_for_end(unsigned long pid, THR_PROCESS_EXIT_CODE* code) {
  int result = 0;
  for (auto started = std::chrono::steady_clock::now();
       before_deadline(started) && (result = thr_process_wait(pid, code, 1)) == 0;)
    thr_msleep(5);
  return result;
}

inline void close_pipes(const CHILD& child) {
  thr_process_close_pipe(child.output);
  thr_process_close_pipe(child.input);
}
