// The child output line protocol over the real host interpreter: Tcl commands gathered from
// lines and evaluated, message lines redirected to an attached report, the prompt echoed, and
// stray text dropped with its two debug texts. Plain mode is checked end to end by the tool's
// tests.
#include <gtest/gtest.h>
#include <tcl.h>

#include <string>
#include <vector>

#include "host/host.h"
#include "host/msg.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"
#include "tests/support/host_environment.h"
#include "tests/support/recording_sink.h"

namespace {

// Every call of a recording Tcl command, as its words joined by '|'.
std::vector<std::string> tcl_calls;

int record_call(ClientData, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) {
  std::string call = Tcl_GetString(objv[0]);
  for (int i = 1; i < objc; ++i) call += std::string("|") + Tcl_GetString(objv[i]);
  tcl_calls.push_back(call);
  return TCL_OK;
}

Tcl_Interp* interpreter() { return ztcl_get_interpreter(); }

// Host commands, so they reach the child interpreter the lines are evaluated in.
void make_recording_command(const char* name) { ztcl_create_command(name, record_call, nullptr); }

// Exposes the private state the protocol keeps between lines.
class TESTED_COMMAND : public IPC_COMMAND {
 public:
  IMPL& impl() { return *m_impl; }
  void lines(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) process_line(line);
  }
};

const std::string ADVICE =
    "Ooops! Someone is probably incorrectly writing directly to cout/stdout. Run the offending "
    "executable directly with --ipc_mode and debug_msg=on and look for suspect output. Never "
    "write directly to cout. Use msg to post a message instead. Here is the last bit of output: ";

class PROCESS_LINE : public ::testing::Test {
 protected:
  void SetUp() override {
    tcl_calls.clear();
    for (const char* name : {"record", msg_tcl_post_cmd, msg_tcl_ie_cmd, "msg_tcl_puts"})
      make_recording_command(name);
    msg_set_debug_sink(&debug);
    msg_set_debug_level("IPC", 2);
  }
  void TearDown() override { msg_set_debug_sink(nullptr); }

  RECORDING_SINK debug;
  TESTED_COMMAND command;
};

TEST_F(PROCESS_LINE, CompleteCommandsAreEvaluatedAndGatheredOverSeveralLines) {
  command.lines({"record one", "record {first", "second"});
  EXPECT_EQ(tcl_calls, std::vector<std::string>{"record|one"});
  EXPECT_EQ(command.impl().m_tcl_buffer, "record {first\nsecond");

  command.lines({"third}"});
  EXPECT_EQ(tcl_calls, (std::vector<std::string>{"record|one", "record|first\nsecond\nthird"}));
  EXPECT_TRUE(command.impl().m_tcl_buffer.empty());

  // Evaluated text ends at the first zero byte; an empty line changes nothing.
  command.lines({std::string("record a\0b", 10), ""});
  EXPECT_EQ(tcl_calls.back(), "record|a");
  EXPECT_EQ(tcl_calls.size(), 3u);
  EXPECT_EQ(command.impl().m_tcl_command_cache.count(""), 0u);
  EXPECT_TRUE(debug.texts().empty());
}

TEST_F(PROCESS_LINE, MessageLinesNamingTheNullReportAreRedirectedOnlyWhileAReportIsAttached) {
  const std::string post = msg_tcl_post_cmd;
  const std::string ie = msg_tcl_ie_cmd;

  command.lines({post + " 0 info {as written}"});
  EXPECT_EQ(tcl_calls.back(), post + "|0|info|as written");

  MSG_REPORT earlier, report;
  command.set_msg_report(&earlier);
  command.set_msg_report(&report);  // only the last one set is named
  char handle[56];
  ztcl_ptr_to_string(handle, &report);
  command.lines({post + " 0 info {redirected}", ie + " 0 {broken}", post + " 0"});
  EXPECT_EQ(tcl_calls.at(1), post + "|" + handle + "|info|redirected");
  EXPECT_EQ(tcl_calls.at(2), ie + "|" + handle + "|broken");
  // Cut right after the 0: the prefix needs its space, so the line stays as written.
  EXPECT_EQ(tcl_calls.at(3), post + "|0");

  // Only the first line of a command is rewritten.
  command.lines({post + " 0 info {first", post + " 0 second}"});
  EXPECT_EQ(tcl_calls.back(), post + "|" + handle + "|info|first\n" + post + " 0 second");

  command.set_msg_report(nullptr);
  command.lines({post + " 0 info {off again}"});
  EXPECT_EQ(tcl_calls.back(), post + "|0|info|off again");
}

TEST_F(PROCESS_LINE, ThePromptIsEchoedButWithoutItsSpaceItIsAnUnknownWord) {
  command.lines({"tcl> "});
  EXPECT_EQ(tcl_calls, std::vector<std::string>{"msg_tcl_puts|tcl>"});
  EXPECT_TRUE(command.impl().m_tcl_buffer.empty());

  command.lines({"tcl>"});
  EXPECT_EQ(tcl_calls.size(), 1u);
  ASSERT_EQ(debug.texts().size(), 2u);
  EXPECT_EQ(debug.texts()[0], "Tcl command {tcl>} not found, NOT posting tcl buffer = tcl>");
}

TEST_F(PROCESS_LINE, StrayTextIsDroppedWithTwoDebugTextsAndItsVerdictIsCached) {
  command.lines({"hello world 100%d"});
  EXPECT_TRUE(tcl_calls.empty());
  EXPECT_EQ(debug.texts(),
            (std::vector<std::string>{
                "Tcl command {hello} not found, NOT posting tcl buffer = hello world 100%d",
                ADVICE + "hello world 100%d"}));
  EXPECT_FALSE(command.impl().m_tcl_command_cache.at("hello"));

  // The interpreter is not asked again: a command made now is not seen by this object.
  make_recording_command("hello");
  debug.records.clear();
  command.lines({"hello again"});
  EXPECT_TRUE(tcl_calls.empty());
  EXPECT_EQ(debug.texts().size(), 2u);

  // A fresh object asks afresh; a tab does not end the first word.
  TESTED_COMMAND fresh;
  fresh.lines({"hello there", "record\tx"});
  EXPECT_EQ(tcl_calls, std::vector<std::string>{"hello|there"});
  EXPECT_FALSE(fresh.impl().m_tcl_command_cache.at("record\tx"));
  ztcl_delete_command("hello");
}

TEST_F(PROCESS_LINE, OnlyTheExactWordDebugColonIsAcceptedWithoutACommand) {
  ztcl_delete_command("Debug:");
  ASSERT_EQ(Tcl_FindCommand(interpreter(), "Debug:", nullptr, TCL_GLOBAL_ONLY), nullptr);
  command.lines({"Debug: some text", "Debug:x some text"});
  EXPECT_TRUE(command.impl().m_tcl_command_cache.at("Debug:"));
  EXPECT_FALSE(command.impl().m_tcl_command_cache.at("Debug:x"));
  const std::vector<std::string> texts = debug.texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0],
            "Tcl command {Debug:x} not found, NOT posting tcl buffer = Debug:x some text");
  host_stop();  // a restart brings the host's own commands back
  host_start("ipc_test");
}

TEST_F(PROCESS_LINE, AnIncompleteCommandWaitsUpToTheLimitAndIsDroppedOneByteBeyond) {
  const std::string opening = "record {";
  const size_t limit = 1000000;
  command.lines({opening, std::string(limit - opening.size() - 1, 'x')});
  EXPECT_EQ(command.impl().m_tcl_buffer.size(), limit);
  EXPECT_TRUE(debug.texts().empty());

  command.lines({""});  // the joining newline makes it one byte too long
  EXPECT_TRUE(command.impl().m_tcl_buffer.empty());
  EXPECT_EQ(debug.texts(), std::vector<std::string>{
                               "Warning: IPC_COMMAND line buffer exceeded 1MB and will now reset"});

  command.lines({"record fresh"});
  EXPECT_EQ(tcl_calls, std::vector<std::string>{"record|fresh"});

  // A single line reaching the limit waits too.
  command.lines({opening + std::string(limit - opening.size(), 'y')});
  EXPECT_EQ(command.impl().m_tcl_buffer.size(), limit);
  EXPECT_EQ(debug.texts().size(), 1u);
}

}  // namespace
