// The Tcl bridge and the host's Tcl commands, on a real interpreter.
#include "host/ztcl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/cfg.h"
#include "host/host.h"
#include "host/msg.h"
#include "host/thr_thread.h"
#include "tests/support/recording_sink.h"

namespace {

// Each record as "KIND ID TEXT", the kind by its letter (X for an internal error).
std::vector<std::string> described(const std::vector<MSG_RECORD>& records) {
  std::vector<std::string> out;
  for (const MSG_RECORD& r : records)
    out.push_back(std::string(1, "EWIXD"[static_cast<int>(r.kind)]) + " " + std::to_string(r.id) +
                  " " + r.text);
  return out;
}

std::string handle_of(void* pointer) {
  char buffer[56];
  ztcl_ptr_to_string(buffer, pointer);
  return buffer;
}

class ZtclTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_start("ztcl_test");
    msg_set_default_sink(&posted);
    msg_set_debug_sink(&debug);
  }
  void TearDown() override {
    host_stop();
    msg_set_default_sink(nullptr);
    msg_set_debug_sink(nullptr);
    msg_set_debug_level("IPC", 0);
  }
  // Evaluates on the interpreter's thread; the code, with the result in *result.
  int eval(const std::string& script, std::string* result = nullptr) {
    return ztcl_post(script, false, result);
  }
  RECORDING_SINK posted;
  RECORDING_SINK debug;
};

int record_thread(ClientData data, Tcl_Interp*, int, Tcl_Obj* const[]) {
  *static_cast<uint64_t*>(data) = thr_thread_self();
  return TCL_OK;
}

// Sets a bridge setting and gives this thread a child interpreter that has read it.
void with_setting(const char* key, const char* value) {
  cfg_set_value(key, value);
  ztcl_reset_child_interpreter();
}

TEST(ZtclLifecycle, TrustedAndChildInterpretersExistBetweenStartAndStop) {
  EXPECT_EQ(ztcl_get_interpreter(), nullptr);
  EXPECT_EQ(ztcl_post("set x 1", false, nullptr), TCL_ERROR) << "nothing to evaluate in";
  host_start("ztcl_test");
  Tcl_Interp* trusted = ztcl_get_trusted_interpreter();
  ASSERT_NE(trusted, nullptr);
  EXPECT_TRUE(ztcl_is_trusted_thread());
  EXPECT_NE(ztcl_get_interpreter(), trusted) << "child lines never reach the trusted interpreter";
  EXPECT_TRUE(Tcl_IsSafe(ztcl_get_interpreter()));
  EXPECT_EQ(Tcl_Eval(trusted, "info exists tcl_library"), TCL_OK);
  EXPECT_STREQ(Tcl_GetStringResult(trusted), "1") << "Tcl_Init ran";
  EXPECT_TRUE(msg_initialized);
  host_stop();
  EXPECT_EQ(ztcl_get_interpreter(), nullptr);
  EXPECT_EQ(ztcl_get_trusted_interpreter(), nullptr);
  EXPECT_FALSE(msg_initialized);
}

TEST_F(ZtclTest, ChildInterpreterOffersTheSafeCoreAndHostCommandsOnly) {
  Tcl_Interp* child = ztcl_get_interpreter();
  for (const char* word : {"exec", "open", "file", "cd", "glob", "source", "load", "socket", "exit",
                           "interp", "after", "vwait", "update", "chan", "puts", "package"})
    EXPECT_EQ(Tcl_FindCommand(child, word, nullptr, TCL_GLOBAL_ONLY), nullptr) << word;
  for (const char* word : {"set", "proc", "expr", "string", "list", "dict", "msg_post",
                           "msg_internal_error", "msg_tcl_puts", "Debug:"})
    EXPECT_NE(Tcl_FindCommand(child, word, nullptr, TCL_GLOBAL_ONLY), nullptr) << word;

  std::string result;
  EXPECT_EQ(eval("proc twice {x} {expr {$x * 2}}; list [twice 21] [info level]", &result), TCL_OK);
  EXPECT_EQ(result, "42 0") << "scripts run at global level";
  msg_set_debug_level("IPC", 2);
  EXPECT_EQ(eval("no_such_command 1 2", &result), TCL_ERROR);
  ASSERT_EQ(debug.records.size(), 1u) << "an evaluation error goes to the debug channel";
  EXPECT_EQ(debug.records[0].module, "TCL");
  EXPECT_NE(debug.records[0].text.find("no_such_command"), std::string::npos);
}

TEST_F(ZtclTest, EveryEvaluationIsCutOffAtTheTimeLimitAndTheNextOneRuns) {
  with_setting("tcl_time_limit", "200");
  const char* endless[] = {"while 1 {}", "while 1 {set x 1}", "proc f {} {f}; f",
                           "proc g {n} {g [incr n]}; g 0",
                           "while 1 {append s [string repeat x 100000]; set s {}}"};
  for (const char* script : endless) {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    EXPECT_EQ(eval(script, &error), TCL_ERROR) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << script;
    std::string result;
    EXPECT_EQ(eval("set after_limit ok", &result), TCL_OK) << "after " << script << ": " << result;
  }
  std::string result;
  EXPECT_EQ(eval("string length [string repeat x 100000000]", &result), TCL_OK);
  with_setting("tcl_time_limit", "0");
  cfg_unset_value("tcl_time_limit");
}

TEST_F(ZtclTest, HostCommandsSurviveAChildsRedefinitionAndResetForgetsItsProcs) {
  for (const char* attack :
       {"proc msg_post args {}", "rename msg_post {}", "rename msg_post mine"}) {
    eval(attack);
    EXPECT_EQ(eval("msg_post 0 info {still here}"), TCL_OK) << attack;
    EXPECT_EQ(eval("info commands mine"), TCL_OK);
    EXPECT_STREQ(Tcl_GetStringResult(ztcl_get_interpreter()), "") << "no second name survives";
  }
  EXPECT_EQ(posted.records.size(), 3u);

  eval("proc defined_by_child {} {}");
  ztcl_reset_child_interpreter();
  EXPECT_EQ(Tcl_FindCommand(ztcl_get_interpreter(), "defined_by_child", nullptr, TCL_GLOBAL_ONLY),
            nullptr);
}

TEST_F(ZtclTest, TrustedModeAndExposedCommandsReachTheTrustedInterpreter) {
  Tcl_Interp* trusted = ztcl_get_trusted_interpreter();
  ASSERT_EQ(Tcl_Eval(trusted, "proc host_side {x} {set ::seen $x; info level}"), TCL_OK);
  EXPECT_EQ(Tcl_FindCommand(ztcl_get_interpreter(), "host_side", nullptr, TCL_GLOBAL_ONLY),
            nullptr);
  ztcl_expose_command("host_side");
  std::string result;
  EXPECT_EQ(eval("host_side 5", &result), TCL_OK);
  EXPECT_STREQ(Tcl_GetVar(trusted, "seen", TCL_GLOBAL_ONLY), "5");
  ztcl_unexpose_all();
  EXPECT_EQ(eval("host_side 6"), TCL_ERROR);

  with_setting("tcl_trusted", "1");
  EXPECT_EQ(ztcl_get_interpreter(), trusted);
  EXPECT_EQ(eval("set ::direct 1"), TCL_OK);
  EXPECT_STREQ(Tcl_GetVar(trusted, "direct", TCL_GLOBAL_ONLY), "1");
  with_setting("tcl_trusted", "0");
  EXPECT_NE(ztcl_get_interpreter(), trusted);
}

TEST_F(ZtclTest, AnotherThreadEvaluatesInItsOwnSafeInterpreterAtOnce) {
  uint64_t evaluated_on = 0;
  ztcl_create_command("record_thread", record_thread, &evaluated_on);
  Tcl_Interp* main_child = ztcl_get_interpreter();
  Tcl_Interp* worker_child = nullptr;
  int code = -1;
  std::string result;
  std::thread worker([&] {
    worker_child = ztcl_get_interpreter();
    code = ztcl_post("record_thread; msg_post 0 info {from worker}; set answer 7", false, &result);
  });
  worker.join();
  EXPECT_EQ(code, TCL_OK);
  EXPECT_EQ(result, "7");
  EXPECT_NE(evaluated_on, THR_THREAD_MAIN_ID);
  EXPECT_NE(worker_child, main_child);
  EXPECT_EQ(described(posted.records), std::vector<std::string>{"I 0 from worker"});
  ztcl_delete_command("record_thread");
}

// Posting to the default sink, msg_tcl_puts and Debug: are checked end to end by the tool's tests.
TEST_F(ZtclTest, MsgPostToLiveReportsOnly) {
  std::string stale;
  {
    MSG_REPORT report;
    stale = handle_of(&report);
    EXPECT_EQ(eval("msg_post " + stale + " I 112000 {%s 100%}"), TCL_OK);
    EXPECT_EQ(eval("msg_internal_error " + stale + " {went wrong}"), TCL_OK);
    EXPECT_EQ(described(report.records()),
              (std::vector<std::string>{"I 112000 %s 100%", "X 0 went wrong"}));
  }
  std::string error;
  EXPECT_EQ(eval("msg_post " + stale + " error {late}", &error), TCL_ERROR);
  EXPECT_NE(error.find("no live report"), std::string::npos) << error;
  EXPECT_TRUE(posted.records.empty()) << "a stale handle is never used";

  MSG_INDEX::get_default_index()->suppress(112000);
  eval("msg_post 0 info 112000 {hidden}");
  MSG_INDEX::get_default_index()->unsuppress(112000);
  eval("msg_post 0 W {no id}");
  EXPECT_EQ(described(posted.records), std::vector<std::string>{"W 0 no id"});
}

TEST_F(ZtclTest, MsgPostRejectsBadArguments) {
  const std::pair<const char*, const char*> bad[] = {
      {"msg_post 0", "REPORT SEVERITY ?ID? TEXT"},
      {"msg_post 0 fatal {x}", "bad severity"},
      {"msg_post 0 error twelve {x}", "bad message id"},
      {"msg_post 0 error -1 {x}", ""},
      {"msg_post nonsense error {x}", ""},
      {"msg_post 0x12zz error {x}", ""},
      {"msg_internal_error 0", ""},
      {"msg_internal_error 0xdeadbeef {x}", ""}};
  for (const auto& [script, complaint] : bad) {
    std::string error;
    EXPECT_EQ(eval(script, &error), TCL_ERROR) << script;
    EXPECT_NE(error.find(complaint), std::string::npos) << script << ": " << error;
  }
  EXPECT_TRUE(posted.records.empty());

  EXPECT_EQ(eval("msg_internal_error 0 {the host goes on}"), TCL_OK);
  EXPECT_EQ(described(posted.records), std::vector<std::string>{"X 0 the host goes on"});
}

}  // namespace

namespace {

// An application with an interpreter of its own lends it to the host and gets it back intact.
TEST(ZtclAdopt, AnApplicationsInterpreterServesAsTheTrustedOneAndOutlivesTheHost) {
  Tcl_Interp* application = Tcl_CreateInterp();
  ASSERT_EQ(Tcl_Eval(application, "proc app_answer {} {return 42}"), TCL_OK);
  host_adopt(application);
  EXPECT_EQ(ztcl_get_trusted_interpreter(), application);
  ztcl_expose_command("app_answer");
  std::string result;
  EXPECT_EQ(ztcl_post("app_answer", false, &result), TCL_OK);
  EXPECT_EQ(result, "42");
  ztcl_unexpose_all();
  host_stop();

  EXPECT_EQ(ztcl_get_trusted_interpreter(), nullptr);
  EXPECT_EQ(Tcl_Eval(application, "app_answer"), TCL_OK) << "the application keeps its own";
  EXPECT_EQ(Tcl_FindCommand(application, "msg_post", nullptr, TCL_GLOBAL_ONLY), nullptr)
      << "and nothing of the host stays in it";

  host_adopt(application);
  Tcl_DeleteInterp(application);  // the application may also end first
  EXPECT_EQ(ztcl_get_trusted_interpreter(), nullptr);
  EXPECT_EQ(ztcl_get_interpreter(), nullptr);
  host_stop();
}

}  // namespace
