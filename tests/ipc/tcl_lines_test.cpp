// Lines a child writes, judged by a real Tcl: both backend helpers (C++ and Tcl) put every text
// on one line as one word that the host's commands get back exactly, zero bytes and bytes that
// are not UTF-8 included; and the host's shortcut that keeps gathering a long command linear
// gives exactly the verdicts of Tcl_CommandComplete on the whole buffer (random lines, zero bytes
// among them).
#include <gtest/gtest.h>
#include <tcl.h>

#include <random>
#include <string>
#include <vector>

#include "backend/ipc_backend.h"
#include "host/common/tcl_text.h"
#include "ipc/ipc_internal.h"

namespace {

// The words the host's commands get from line, each as host_text_of gives it, or the error the
// line raised. Like the host, Tcl reads the line up to a zero byte.
std::vector<std::string> words_of(Tcl_Interp* interpreter, const std::string& line) {
  if (Tcl_EvalEx(interpreter, line.c_str(), -1, 0) != TCL_OK)
    return {Tcl_GetStringResult(interpreter)};
  int count = 0;
  Tcl_Obj** words = nullptr;
  Tcl_ListObjGetElements(nullptr, Tcl_GetObjResult(interpreter), &count, &words);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(host_text_of(words[i]));
  return texts;
}

// The line the Tcl helper's call writes for text, which a Tcl author holds as Tcl does (a zero
// byte as C0 80), with the zero bytes puts would write.
std::string tcl_helper_line(Tcl_Interp* backend, const char* call, const std::string& text) {
  std::string held;
  for (char c : text) held += c == '\0' ? std::string("\xC0\x80") : std::string(1, c);
  Tcl_SetVar2Ex(backend, "text", nullptr,
                Tcl_NewStringObj(held.data(), static_cast<int>(held.size())), 0);
  if (Tcl_Eval(backend, call) != TCL_OK) return Tcl_GetStringResult(backend);
  return host_text_of(Tcl_GetVar2Ex(backend, "line", nullptr, 0)) + "\n";
}

TEST(BackendQuoting, EveryTextArrivesExactlyAsOneWordOnOneLine) {
  Tcl_Interp* host = Tcl_CreateInterp();
  Tcl_Eval(host,
           "foreach c {msg_post msg_internal_error Debug: ipc_progress} {proc $c args {set args}}");
  Tcl_Interp* backend = Tcl_CreateInterp();
  ASSERT_EQ(Tcl_Eval(backend, "source " IPC_SOURCE_DIR "/backend/tcl/ipc_backend.tcl\n"
                              "proc ::ipc_backend::emit {line} {set ::line $line}"),
            TCL_OK)
      << Tcl_GetStringResult(backend);
  using std::string;
  using namespace std::string_literals;
  const struct {
    string (*cpp_line)(const string& text);
    const char* tcl_call;
    std::vector<string> words;  // before the text
  } helpers[] = {
      {.cpp_line = [](const string& t) { return ipc_backend::post_line("warning", 12, t); },
       .tcl_call = "ipc_backend::post warning 12 $text",
       .words = {"0", "warning", "12"}},
      {.cpp_line = [](const string& t) { return ipc_backend::internal_error_line(t); },
       .tcl_call = "ipc_backend::internal_error $text",
       .words = {"0"}},
      {.cpp_line = [](const string& t) { return ipc_backend::debug_line(t); },
       .tcl_call = "ipc_backend::debug $text",
       .words = {}},
      {.cpp_line = [](const string& t) { return ipc_backend::progress_line(3, 7, t); },
       .tcl_call = "ipc_backend::progress 3 7 $text",
       .words = {"3", "7"}},
  };
  for (const string& text :
       {""s, "plain"s, "two words"s, "{"s, "}"s, "{a} b}"s, "[exec x] $HOME"s, "trailing\\"s,
        "a\nb\n"s, "tab\there\r"s, "\"q\""s, "#not;a comment"s, "ctrl\x01\x1f\x7f"s,
        "\xc3\xbc utf-8"s, "bad \xff\xc3 utf-8 {"s, "zero\0"s, "\0001{\0\x80\n"s}) {
    for (const auto& helper : helpers) {
      std::vector<string> expected = helper.words;
      expected.push_back(text);
      for (const string& line :
           {helper.cpp_line(text), tcl_helper_line(backend, helper.tcl_call, text)}) {
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(words_of(host, line), expected) << line;
      }
    }
  }
  EXPECT_EQ(ipc_backend::post_line("info", 0, "done"), "msg_post 0 info done\n");
  Tcl_DeleteInterp(backend);
  Tcl_DeleteInterp(host);
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
