// The shortcut that keeps gathering a long command linear must give exactly the verdicts of
// Tcl_CommandComplete on the whole buffer: checked on random lines, zero bytes among them.
#include <gtest/gtest.h>
#include <tcl.h>

#include <random>
#include <string>
#include <vector>

#include "ipc/ipc_internal.h"

namespace {

bool tcl_complete(const std::string& buffer) { return Tcl_CommandComplete(buffer.c_str()) == 1; }

// Feeds the lines as process_line gathers them; fails where the shortcut calls a buffer
// incomplete that Tcl calls complete. Returns how often the shortcut was taken.
int check_gathering(const std::vector<std::string>& lines) {
  int shortcuts = 0;
  std::string buffer;
  for (const std::string& line : lines) {
    const bool shortcut = ipc_line_keeps_command_incomplete(buffer, line);
    buffer += (buffer.empty() ? "" : "\n") + line;
    const bool complete = tcl_complete(buffer);
    if (shortcut) {
      ++shortcuts;
      EXPECT_FALSE(complete) << "shortcut kept complete buffer open: {" << buffer << "}";
    }
    if (complete) buffer.clear();
  }
  return shortcuts;
}

TEST(COMMAND_GATHERING, RandomLinesGiveTclsVerdicts) {
  const std::vector<std::string> pieces = {
      "{", "}", "[", "]", "\"", "\\", "$",    "(",   ")",  "${",
      "a", " ", ";", "#", "\t", "x(", "\\\\", "{*}", "\r", std::string(1, '\0')};
  std::mt19937 random(20);
  auto below = [&random](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random);
  };
  int shortcuts = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::string> lines(1 + below(6));
    for (std::string& line : lines)
      for (size_t n = below(7); n > 0; --n) line += pieces[below(pieces.size())];
    shortcuts += check_gathering(lines);
  }
  EXPECT_GT(shortcuts, 1000);  // the shortcut is exercised, not just the full check
}

}  // namespace
