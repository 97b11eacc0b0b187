// The host's common services, real: child interpreters and the message commands in them, the
// trusted interpreter's life and event pump, messages, events, threads, formatting. ipc_run's
// tests see trusted mode, exposed commands and the message commands' output.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/cfg.h"
#include "host/host.h"
#include "host/mem.h"
#include "host/msg.h"
#include "host/thr_event.h"
#include "host/thr_gui.h"
#include "host/thr_thread.h"
#include "host/ztcl.h"
#include "tests/support/recording_sink.h"

namespace {

// Empty when every command that reaches the system, waits or reaches another interpreter is
// out of a child's reach, else those that are not.
const std::string REACHABLE_HIDDEN =
    "join [lmap w {exec open file cd glob source load socket exit interp after vwait update chan "
    "puts gets close fconfigure package} {info commands $w}] {}";

// Each record as "KIND ID TEXT", the kind by its letter (X for an internal error).
std::string described(const std::vector<MSG_RECORD>& records, const std::string& prefix) {
  std::string out;
  for (const MSG_RECORD& r : records)
    out += prefix + "EWIXD"[static_cast<int>(r.kind)] + " " + std::to_string(r.id) + " " + r.text;
  return out;
}

// One line after another in this thread's child interpreter, each leaving it usable for the next.
TEST(Ztcl, ChildLinesRunSafelyWithinTheTimeLimitAndCannotTakeTheHostCommands) {
  host_start("ztcl_test");
  cfg_set_value("tcl_time_limit", "200");  // read when the child interpreter is made
  MSG_INDEX::get_default_index()->suppress(991000);
  CAPTURED_MESSAGES messages;
  char stale[56], live[56];
  ztcl_ptr_to_string(stale, std::make_unique<MSG_REPORT>().get());
  const std::string no_report = "msg_post: no live report ";
  const std::string bad_id = "msg_post: bad message id ", args = "wrong # args: should be \"";
  const std::string text_cap = " refused: the result would exceed 16 MiB";
  const std::string integer_cap = " refused: the result would exceed 65536 bits";
  const struct {
    std::string script;
    int code;
    std::string result, heard;  // heard: the records posted, a report's after "R "
  } lines[] = {
      {"proc twice {x} {expr {$x * 2}}; twice 21", TCL_OK, "42", ""},
      {REACHABLE_HIDDEN, TCL_OK, "", ""},
      {"while 1 {}", TCL_ERROR, "time limit exceeded", ""},
      {"for {set i 0} {$i < 10000} {incr i} {}; set i", TCL_OK, "10000", ""},  // a fresh limit
      {"proc msg_post args {}", TCL_OK, "", ""},
      {"msg_post 0 info {still here}", TCL_OK, "", "I 0 still here"},
      {"rename msg_post {}", TCL_OK, "", ""},
      {"msg_post 0 W {no id}", TCL_OK, "", "W 0 no id"},
      {"rename msg_post mine", TCL_OK, "", ""},
      {"list [info commands mine] [msg_post 0 e 5 back]", TCL_OK, "{} {}", "E 5 back"},
      {"msg_post REPORT I 112000 {%s 100%}", TCL_OK, "", "R I 112000 %s 100%"},
      {"msg_internal_error REPORT {went wrong}", TCL_OK, "", "R X 0 went wrong"},
      {"msg_post 0 warning 991000 {suppressed}", TCL_OK, "", ""},
      {"msg_post 0 error 991000 {errors show}", TCL_OK, "", "E 991000 errors show"},
      {"msg_internal_error 0 {the host goes on}", TCL_OK, "", "X 0 the host goes on"},
      {"msg_post " + std::string(stale) + " E x", TCL_ERROR, no_report + '"' + stale + '"', ""},
      {"msg_post nonsense error x", TCL_ERROR, no_report + "\"nonsense\"", ""},
      {"msg_post 0x12zz error x", TCL_ERROR, no_report + "\"0x12zz\"", ""},
      {"msg_post 0 error twelve x", TCL_ERROR, bad_id + "\"twelve\"", ""},
      {"msg_post 0 error -1 x", TCL_ERROR, bad_id + "\"-1\"", ""},
      {"msg_post 0 error 4294967296 x", TCL_ERROR, bad_id + "\"4294967296\"", ""},
      {"msg_post 0 fatal x", TCL_ERROR,
       "msg_post: bad severity \"fatal\": must be error, warning, info, E, W or I", ""},
      {"msg_post 0", TCL_ERROR, args + "msg_post REPORT SEVERITY ?ID? TEXT\"", ""},
      {"msg_internal_error 0", TCL_ERROR, args + "msg_internal_error REPORT TEXT\"", ""},
      // One call that would compute or allocate for long is refused at once.
      {"string repeat x 1000000000", TCL_ERROR, "string repeat" + text_cap, ""},
      {"lrepeat 200000000 x", TCL_ERROR, "lrepeat" + text_cap, ""},
      {"format %2000000000s x", TCL_ERROR, "format" + text_cap, ""},
      {"binary format a1000000000 x", TCL_ERROR, "binary format" + text_cap, ""},
      {"join [lrepeat 1000 x] [string repeat y 100000]", TCL_ERROR, "join" + text_cap, ""},
      {"string map {a 0123456789abcdefghij} [string repeat a 1000000]", TCL_ERROR,
       "string map" + text_cap, ""},
      {"regsub -all {} [string repeat a 100000] [string repeat b 200]", TCL_ERROR,
       "regsub" + text_cap, ""},
      {"string length [expr {3**300000}]", TCL_ERROR, "**" + integer_cap, ""},
      {"proc grow {} {if {1 << 100000000} {}}; grow", TCL_ERROR, "<<" + integer_cap, ""},
      {"set x [expr {7**8000}]; expr {$x * $x * $x}", TCL_ERROR, "*" + integer_cap, ""},
      {"tcl::mathop::** 2 2 20", TCL_ERROR, "**" + integer_cap, ""},
      {"expr {[string repeat 9 100000] * 1}", TCL_ERROR, "*" + integer_cap, ""},
      {"expr {2**3**2 + (1<<4) * -2**2 - max(2*3, 4) + 1.5*2}", TCL_OK, "573.0", ""},
  };
  for (const auto& line : lines) {
    MSG_REPORT report;
    ztcl_ptr_to_string(live, &report);
    std::string script = line.script, result;
    if (script.find("REPORT") != std::string::npos) script.replace(script.find("REPORT"), 6, live);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ztcl_post(script, false, &result), line.code) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << script;
    EXPECT_EQ(result, line.result) << script;
    EXPECT_EQ(described(messages.posted.records, "") + described(report.records(), "R "),
              line.heard)
        << script;
    EXPECT_TRUE(line.code == TCL_OK ||  // an error also goes to the debug channel
                described(messages.debug.records, "").rfind("D 0 Tcl error: " + result, 0) == 0);
    messages.posted.records.clear();
    messages.debug.records.clear();
  }
  ztcl_reset_child_interpreter();
  EXPECT_EQ(ztcl_post("twice 1", false, nullptr), TCL_ERROR) << "a reset forgets the child's procs";

  Tcl_Interp* worker_child = nullptr;
  std::string result = "not run";
  std::thread([&] {
    worker_child = ztcl_get_interpreter();
    EXPECT_EQ(ztcl_post("msg_post 0 info {from worker}; " + REACHABLE_HIDDEN, false, &result), 0);
  }).join();
  EXPECT_EQ(result, "") << "another thread's interpreter is as safe";
  EXPECT_NE(worker_child, ztcl_get_interpreter()) << "and its own";
  EXPECT_EQ(described(messages.posted.records, ""), "I 0 from worker");
  host_stop();
}

struct LAST_FAILURE : ZTCL_ERROR_OBSERVER {
  void line_failed(const std::string& error, const std::string& script) override {
    text = error + ": " + script;
  }
  std::string text;
};

// Two runs at once on two threads keep their trust; a run's child names only its own report,
// never reads that handle back, and stops at the run's deadline.
TEST(Ztcl, ARunsPolicyStaysWithItsThreadItsReportAndItsDeadline) {
  host_start("ztcl_test");
  std::atomic<int> installed{0};
  std::string heard[2];
  std::vector<std::thread> runs;
  for (bool trusted : {true, false})
    runs.emplace_back([&, trusted] {
      ZTCL_RUN_POLICY policy;
      policy.trusted = trusted;
      SCOPED_ZTCL_RUN_POLICY scope(policy);
      for (++installed; installed < 2;) std::this_thread::yield();
      ztcl_post("info commands exec", false, &heard[trusted]);
    });
  for (std::thread& run : runs) run.join();
  EXPECT_EQ(heard[true] + "|" + heard[false], "exec|") << "each run with its own trust";

  MSG_REPORT own, other;
  char own_text[56], other_text[56];
  ztcl_ptr_to_string(own_text, &own);
  ztcl_ptr_to_string(other_text, &other);
  LAST_FAILURE observer;
  ztcl_set_error_observer(&observer);
  ZTCL_RUN_POLICY policy;
  policy.report = &own;
  policy.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  SCOPED_ZTCL_RUN_POLICY scope(policy);
  const std::string own_handle = own_text, other_handle = other_text;
  std::string result;
  EXPECT_EQ(ztcl_post("msg_post " + own_handle + " info mine", false, &result), TCL_OK);
  EXPECT_EQ(ztcl_post("msg_post " + other_handle + " info theirs", false, &result), TCL_ERROR);
  EXPECT_EQ(result, "msg_post: no live report \"" + other_handle + "\"");
  EXPECT_EQ(ztcl_post("msg_post " + own_handle + " bogus x", false, &result), TCL_ERROR);
  EXPECT_EQ(observer.text, result + ": msg_post 0 bogus x") << "shown with 0 again";
  ztcl_post("string first " + own_handle + " [list $errorInfo $errorCode [info errorstack]]", false,
            &result);
  EXPECT_EQ(result, "-1") << "the handle is not left for the child to read";
  EXPECT_EQ(own.records().size() + other.records().size(), 1u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ztcl_post("while 1 {}", false, &result), TCL_ERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "cut at the deadline, not after the 2 s limit";
  ztcl_set_error_observer(nullptr);
  host_stop();
}

TEST(Ztcl, TheTrustedInterpreterLivesFromStartToStopAndPumpsItsEvents) {
  EXPECT_EQ(ztcl_post("set x 1", false, nullptr), TCL_ERROR) << "nothing to evaluate in";
  host_start("ztcl_test");
  Tcl_Interp* trusted = ztcl_get_trusted_interpreter();
  ASSERT_NE(trusted, nullptr);
  EXPECT_TRUE(ztcl_is_trusted_thread() && msg_initialized);
  EXPECT_NE(ztcl_get_interpreter(), trusted) << "child lines never reach the trusted interpreter";
  EXPECT_EQ(Tcl_Eval(trusted, "set tcl_library"), TCL_OK) << "Tcl_Init ran";
  Tcl_Eval(trusted, "after 0 {set ::timer 1}; after 60000 {set ::late 1}");
  EXPECT_NE(thr_qt_process_events(), 0) << "a due timer is served by the very next pump";
  EXPECT_NE(Tcl_GetVar(trusted, "timer", TCL_GLOBAL_ONLY), nullptr);
  Tcl_Eval(trusted,
           "lassign [chan pipe] r w; fileevent $r readable {set ::ready 1}; puts $w x; flush $w");
  for (int pumps = 0; !Tcl_GetVar(trusted, "ready", TCL_GLOBAL_ONLY) && pumps < 60000; ++pumps)
    if (thr_qt_process_events() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(Tcl_GetVar(trusted, "ready", TCL_GLOBAL_ONLY), nullptr) << "file events too";
  Tcl_Eval(trusted, "close $r; close $w");
  EXPECT_EQ(thr_qt_process_events(), 0) << "a future timer is not served, and nothing blocks";
  host_stop();
  EXPECT_TRUE(!ztcl_get_interpreter() && !ztcl_get_trusted_interpreter() && !msg_initialized);

  // An application lends its own interpreter and gets it back intact, or deletes it first.
  Tcl_Interp* application = Tcl_CreateInterp();
  ASSERT_EQ(Tcl_Eval(application, "proc app_answer {} {return 42}"), TCL_OK);
  host_adopt(application);
  EXPECT_EQ(ztcl_get_trusted_interpreter(), application);
  EXPECT_NE(Tcl_FindCommand(application, "msg_post", nullptr, TCL_GLOBAL_ONLY), nullptr);
  host_stop();
  EXPECT_EQ(ztcl_get_trusted_interpreter(), nullptr);
  EXPECT_EQ(Tcl_Eval(application, "app_answer"), TCL_OK) << "the application keeps its own";
  EXPECT_EQ(Tcl_FindCommand(application, "msg_post", nullptr, TCL_GLOBAL_ONLY), nullptr)
      << "and nothing of the host stays in it";
  host_adopt(application);
  Tcl_DeleteInterp(application);
  EXPECT_TRUE(!ztcl_get_interpreter() && !ztcl_get_trusted_interpreter()) << "deleted first";
  host_stop();
}

// The library uses the variadic fill_args; the host's is the va_list one.
void fill(MSG_BASE& message, const char* format, ...) {
  va_list args;
  va_start(args, format);
  message.fill_args(format, args);
  va_end(args);
}

TEST(HostMessage, FormatsByPositionAndSymbolDebugLevelsByModuleAndRegistrationsWhileAlive) {
  const char* formats[][3] = {
      {"%1!s!/EIPC_COMMAND_ERROR", "100% %d", "IPC_COMMAND_ERROR"},  // an argument is no format
      {"%2!d! of %1!s! / 100%%1!s!/ITWO_ARGS", "42 of 100% %d / 100%1!s!", "TWO_ARGS"},
      {"in /Tmp %s=%d", "in /Tmp 100% %d=42", ""},  // a plain printf format is taken whole
  };
  for (const auto& [format, text, symbol] : formats) {
    MSG_W message(nullptr);
    fill(message, format, "100% %d", 42);
    EXPECT_EQ(message.text(), text) << format;
    EXPECT_EQ(message.symbol(), symbol) << format;
  }
  msg_set_debug_level("IPC", 2);
  EXPECT_TRUE(msg_debug_enabled("IPC", MSG_D_LEVEL_2) && MSG_D::debug_messages_enabled(nullptr));
  EXPECT_FALSE(msg_debug_enabled("IPC", MSG_D_LEVEL_3) || msg_debug_enabled("X", MSG_D_LEVEL_1));
  EXPECT_FALSE(MSG_D::debug_messages_enabled("X"));
  static const unsigned ids[] = {991001};
  static const MSG_POST_TYPE types[] = {MSG_POST_ERROR};
  MSG_POST_TYPE type = MSG_POST_INFO;
  auto registrar = std::make_unique<MSG_ID_REGISTRAR>(ids, types, 1);
  EXPECT_TRUE(MSG_INDEX::get_default_index()->is_registered(991001, &type) && type == types[0]);
  registrar.reset();
  EXPECT_FALSE(MSG_INDEX::get_default_index()->is_registered(991001, &type));
  std::string out;  // the memory service's formatting, whatever the length
  MEM_DETAIL::stl_raw_sprintf(&out, "<%s>", std::string(5000, 'a').c_str());
  EXPECT_EQ(out, "<" + std::string(5000, 'a') + ">");
  MEM_DETAIL::stl_raw_sprintf(&out, "%s=%d", "x", 42);
  EXPECT_EQ(out, "x=42") << "the text is replaced";
}

TEST(HostMessageDeathTest, AnInternalErrorNamesItsPlaceAndAborts) {
  EXPECT_DEATH(MSG_INTERNAL_ERROR::report("x", "IPC", "f.cpp", 5),
               "INTERNAL ERROR: x \\(IPC f.cpp:5\\)");
}

// Four threads wait for one manual-reset event posted by a fifth.
TEST(HostThreads, AManualResetEventWakesEveryWaiterUntilReset) {
  THR_EVENT event = thr_event_create();
  EXPECT_EQ(thr_event_wait(event, 10), 1) << "a new event is not signalled";
  std::atomic<int> woken{0};
  std::vector<std::thread> threads(4);
  for (std::thread& thread : threads)
    thread = std::thread(
        [&] { woken += thr_event_wait(event, &thread == &threads[0] ? ULONG_MAX : 60000) == 0; });
  uint64_t poster = 0;
  std::thread([&] { thr_event_post(event), poster = thr_thread_self(); }).join();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(woken, 4);
  EXPECT_EQ(thr_event_wait(event, 0), 0) << "the event stays signalled until reset";
  thr_event_reset(event);
  EXPECT_EQ(thr_event_wait(event, 10), 1);
  thr_event_destroy(event);
  EXPECT_TRUE(thr_thread_self() == THR_THREAD_MAIN_ID && poster != THR_THREAD_MAIN_ID);
}

}  // namespace
