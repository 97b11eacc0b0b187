// The backend author's quoting helpers: every text survives a real Tcl evaluation as one word.
#include <tcl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "ipc/ipc_backend.h"

namespace {

// Evaluates line with a recording msg_post/msg_internal_error/Debug:/ipc_progress and returns
// their words.
std::vector<std::string> evaluate(const std::string& line) {
  Tcl_Interp* interpreter = Tcl_CreateInterp();
  Tcl_Eval(interpreter,
           "proc msg_post args {set ::got $args}; "
           "proc msg_internal_error args {set ::got $args}; "
           "proc Debug: args {set ::got $args}; "
           "proc ipc_progress args {set ::got $args}");
  std::vector<std::string> words;
  EXPECT_EQ(Tcl_EvalEx(interpreter, line.c_str(), static_cast<int>(line.size()), 0), TCL_OK)
      << line << ": " << Tcl_GetStringResult(interpreter);
  Tcl_Obj* got = Tcl_GetVar2Ex(interpreter, "got", nullptr, TCL_GLOBAL_ONLY);
  int count = 0;
  Tcl_Obj** elements = nullptr;
  if (got != nullptr && Tcl_ListObjGetElements(interpreter, got, &count, &elements) == TCL_OK) {
    for (int i = 0; i < count; ++i) {
      int length = 0;
      const char* bytes = Tcl_GetStringFromObj(elements[i], &length);
      words.emplace_back(bytes, static_cast<size_t>(length));
    }
  }
  Tcl_DeleteInterp(interpreter);
  return words;
}

TEST(BackendQuotingTest, EveryTextArrivesAsOneWordOnOneLine) {
  const std::vector<std::string> texts = {"",
                                          "plain",
                                          "two words",
                                          "{",
                                          "}",
                                          "{a} b}",
                                          "[exec x]",
                                          "$HOME",
                                          "\\",
                                          "trailing\\",
                                          "a\nb\n",
                                          "tab\there\r",
                                          "\"q\"",
                                          "#not a comment",
                                          "semi;colon",
                                          "ctrl\x01\x1f\x7f",
                                          "\xc3\xbc utf-8"};
  for (const std::string& text : texts) {
    const std::string line = ipc_backend::post_line("warning", 12, text);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_TRUE(Tcl_CommandComplete(line.c_str()));
    EXPECT_EQ(evaluate(line), (std::vector<std::string>{"0", "warning", "12", text}));
    EXPECT_EQ(evaluate(ipc_backend::internal_error_line(text)),
              (std::vector<std::string>{"0", text}));
    EXPECT_EQ(evaluate(ipc_backend::debug_line(text)), (std::vector<std::string>{text}));
    EXPECT_EQ(evaluate(ipc_backend::progress_line(3, 7, text)),
              (std::vector<std::string>{"3", "7", text}));
  }
  EXPECT_EQ(ipc_backend::post_line("info", 0, "done"), "msg_post 0 info done\n");
}

}  // namespace
