// Lines a child writes, judged by a real Tcl: the backend helpers put every text on one line as
// one word, and the host's shortcut that keeps gathering a long command linear gives exactly the
// verdicts of Tcl_CommandComplete on the whole buffer (random lines, zero bytes among them).
#include <gtest/gtest.h>
#include <tcl.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ipc/ipc_backend.h"
#include "ipc/ipc_internal.h"

namespace {

// The words the line's command was called with, as a Tcl list, or the error it raised.
std::string words_of(Tcl_Interp* interpreter, const std::string& line) {
  Tcl_EvalEx(interpreter, line.c_str(), static_cast<int>(line.size()), 0);
  return Tcl_GetStringResult(interpreter);
}

std::string list(std::vector<const char*> words) {
  const std::unique_ptr<char, void (*)(char*)> merged(
      Tcl_Merge(static_cast<int>(words.size()), words.data()), [](char* text) { Tcl_Free(text); });
  return merged.get();
}

TEST(BackendQuoting, EveryTextArrivesAsOneWordOnOneLine) {
  Tcl_Interp* tcl = Tcl_CreateInterp();
  Tcl_Eval(tcl,
           "foreach c {msg_post msg_internal_error Debug: ipc_progress} {proc $c args {set args}}");
  for (const char* text : {"", "plain", "two words", "{", "}", "{a} b}", "[exec x]", "$HOME", "\\",
                           "trailing\\", "a\nb\n", "tab\there\r", "\"q\"", "#not a comment",
                           "semi;colon", "ctrl\x01\x1f\x7f", "\xc3\xbc utf-8"}) {
    const std::string line = ipc_backend::post_line("warning", 12, text);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_EQ(words_of(tcl, line), list({"0", "warning", "12", text}));
    EXPECT_EQ(words_of(tcl, ipc_backend::internal_error_line(text)), list({"0", text}));
    EXPECT_EQ(words_of(tcl, ipc_backend::debug_line(text)), list({text}));
    EXPECT_EQ(words_of(tcl, ipc_backend::progress_line(3, 7, text)), list({"3", "7", text}));
  }
  EXPECT_EQ(ipc_backend::post_line("info", 0, "done"), "msg_post 0 info done\n");
  Tcl_DeleteInterp(tcl);
}

TEST(CommandGathering, RandomLinesGiveTclsVerdicts) {
  const std::vector<std::string> pieces = {
      "{", "}", "[", "]", "\"", "\\", "$",    "(",   ")",  "${",
      "a", " ", ";", "#", "\t", "x(", "\\\\", "{*}", "\r", std::string(1, '\0')};
  std::mt19937 random(20);
  auto below = [&random](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(random);
  };
  int shortcuts = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string buffer;  // gathered as process_line gathers it
    for (size_t lines = 1 + below(6); lines > 0; --lines) {
      std::string line;
      for (size_t n = below(7); n > 0; --n) line += pieces[below(pieces.size())];
      const bool shortcut = ipc_line_keeps_command_incomplete(buffer, line);
      buffer += (buffer.empty() ? "" : "\n") + line;
      const bool complete = Tcl_CommandComplete(buffer.c_str()) == 1;
      EXPECT_FALSE(shortcut && complete) << "kept a complete command open: {" << buffer << "}";
      shortcuts += shortcut;
      if (complete) buffer.clear();
    }
  }
  EXPECT_GT(shortcuts, 1000);  // the shortcut is exercised, not just the full check
}

}  // namespace
