// The Tcl bridge and the host's Tcl commands, on a real interpreter.
#include "host/ztcl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/msg.h"
#include "host/thr_thread.h"

namespace {

class CAPTURE_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override { records.push_back(record); }
  std::vector<MSG_RECORD> records;
};

// Serves the interpreter's event queue until done turns true (or a generous deadline passes).
bool serve_until(const std::atomic<bool>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    if (Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done;
}

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
  CAPTURE_SINK posted;
  CAPTURE_SINK debug;
};

TEST(ZtclLifecycle, InterpreterExistsBetweenStartAndStop) {
  EXPECT_EQ(ztcl_get_interpreter(), nullptr);
  EXPECT_EQ(ztcl_post("set x 1", false, nullptr), TCL_ERROR) << "nothing to evaluate in";
  host_start("ztcl_test");
  EXPECT_NE(ztcl_get_interpreter(), nullptr);
  EXPECT_TRUE(msg_initialized);
  std::string result;
  EXPECT_EQ(ztcl_post("info exists tcl_library", false, &result), TCL_OK);
  EXPECT_EQ(result, "1") << "Tcl_Init ran";
  host_stop();
  EXPECT_EQ(ztcl_get_interpreter(), nullptr);
  EXPECT_FALSE(msg_initialized);
}

TEST_F(ZtclTest, EvaluatesAtOnceOnItsOwnThread) {
  std::string result;
  EXPECT_EQ(eval("proc twice {x} {expr {$x * 2}}; list [twice 21] [info level]", &result), TCL_OK);
  EXPECT_EQ(result, "42 0") << "scripts run at global level";

  msg_set_debug_level("IPC", 2);
  EXPECT_EQ(eval("no_such_command 1 2", &result), TCL_ERROR);
  ASSERT_EQ(debug.records.size(), 1u) << "an evaluation error goes to the debug channel";
  EXPECT_EQ(debug.records[0].module, "TCL");
  EXPECT_NE(debug.records[0].text.find("no_such_command"), std::string::npos);
  EXPECT_EQ(eval("set after_error ok", &result), TCL_OK);
}

int record_thread(ClientData data, Tcl_Interp*, int, Tcl_Obj* const[]) {
  *static_cast<uint64_t*>(data) = thr_thread_self();
  return TCL_OK;
}

TEST_F(ZtclTest, WaitedPostFromAnotherThreadRunsOnTheInterpreterThread) {
  uint64_t evaluated_on = 0;
  ztcl_create_command("record_thread", record_thread, &evaluated_on);
  std::atomic<bool> done{false};
  int code = -1, failing_code = -1;
  std::string result, failing_result;
  std::thread worker([&] {
    code = ztcl_post("record_thread; set answer 7", true, &result);
    failing_code = ztcl_post("error broken", true, &failing_result);
    done = true;
  });
  EXPECT_TRUE(serve_until(done));
  worker.join();
  EXPECT_EQ(code, TCL_OK);
  EXPECT_EQ(result, "7");
  EXPECT_EQ(evaluated_on, THR_THREAD_MAIN_ID);
  EXPECT_EQ(failing_code, TCL_ERROR);
  EXPECT_EQ(failing_result, "broken");
}

TEST_F(ZtclTest, UnwaitedPostsQueueInOrder) {
  ASSERT_EQ(eval("set order {}"), TCL_OK);
  std::thread worker([] {
    for (int i = 0; i < 50; ++i)
      EXPECT_EQ(ztcl_post("lappend order " + std::to_string(i), false, nullptr), TCL_OK);
  });
  worker.join();  // returned without anyone serving the queue
  std::string length;
  eval("llength $order", &length);
  EXPECT_EQ(length, "0");

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (length != "50" && std::chrono::steady_clock::now() < deadline) {
    Tcl_DoOneEvent(TCL_ALL_EVENTS | TCL_DONT_WAIT);
    eval("llength $order", &length);
  }
  eval("expr {$order eq [lsort -integer $order]}", &length);
  EXPECT_EQ(length, "1");
}

TEST_F(ZtclTest, StopReleasesWaitersOfUnservedScripts) {
  int code = TCL_OK;
  std::thread worker([&] { code = ztcl_post("set never 1", true, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // either side of the stop works
  host_stop();
  worker.join();
  EXPECT_EQ(code, TCL_ERROR);
  host_start("ztcl_test");
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
