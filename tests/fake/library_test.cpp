// The library's decisions over the scripted fake host, one table per behaviour: reading the output
// pipe and cutting lines, the line protocol, the run driver and the statuses it shows, ending a
// child whose pipe broke, the SIGTERM walk, the command line and its named pipe, the registry of
// pipes and the broadcast, and the pool's dispatch to its helpers.
#include <gtest/gtest.h>
#include <signal.h>
#include <tcl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/cfg.h"
#include "host/fake/fake_host.h"
#include "host/host.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"
#include "tests/support/recording_sink.h"

// Lets a test make the next allocation fail. Out of line: once inlined, the optimiser would see
// malloc's pointer reach operator delete and report a mismatch.
static std::atomic<bool> fail_next_allocation{false};
__attribute__((noinline)) void* operator new(std::size_t size) {
  void* memory = fail_next_allocation.exchange(false) ? nullptr : std::malloc(size ? size : 1);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
__attribute__((noinline)) void operator delete(void* memory) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {

using TEXTS = std::vector<std::string>;
using IMPL = IPC_COMMAND::IMPL;
using PIPES = std::vector<THR_NAMED_PIPE*>;
using FAILS = std::multiset<std::string>;
using fake_host::WAIT;
using namespace std::string_literals;

// Takes its lines (a "burn" line takes 20 ms of processor time) unless it runs the protocol.
class TESTED : public IPC_COMMAND {
 public:
  void process_line(const std::string& line) override {
    if (protocol) return IPC_COMMAND::process_line(line);
    const std::clock_t start = std::clock();
    while (line == "burn" && std::clock() - start < CLOCKS_PER_SEC / 50) continue;
    lines.push_back(line);
  }
  bool is_stopped() override { return stop_after != 0 && lines.size() >= stop_after; }
  IMPL& impl() { return *m_impl; }
  TEXTS lines;
  size_t stop_after = 0;  // lines taken before it asks to stop; 0: never
  bool protocol = false;
};

// Reads: D data read, N nothing waiting, F the read failed, E the end. The lines end with "|" and
// the unfinished rest.
TEST(Output, EachPeekAndReadDecideWhatIsReadPumpedAndCutIntoLines) {
  const std::string read4 = "peek 3; read 3 4; ";
  const struct {
    unsigned long capacity;
    bool gui;
    int events_served;
    std::deque<std::string> output;
    FAILS fail;
    const char* reads;
    std::string log, lines;
  } rows[] = {
      {.capacity = 1024,
       .gui = true,
       .output = {"twelve bytes"},
       .fail = {"read"},
       .reads = "F",
       .log = "peek 3; read 3 1024; pump; win32_pump 250",
       .lines = "|"},
      {.capacity = 1024,
       .gui = true,
       .output = {"late\n", ""},
       .fail = {"peek"},
       .reads = "DNE",  // the count decides, not the status
       .log = "peek 3; read 3 1024; pump; win32_pump 250; peek 3; peek 3",
       .lines = "late|"},
      {.capacity = 1024,
       .gui = true,
       .events_served = 1,
       .output = {"a\n", "", "b"},
       .reads = "DND",
       .log = "peek 3; read 3 1024; pump; peek 3; peek 3; read 3 1024; pump",
       .lines = "a|b"},
      {.capacity = 1024,
       .output = {"a\n"},
       .reads = "DE",
       .log = "peek 3; read 3 1024; peek 3",
       .lines = "a|"},
      {.capacity = 4,
       .output = {"0123456789abc\r\n\nn\0l\nx"s},
       .reads = "DDDDDDE",
       .log = read4 + read4 + read4 + read4 + read4 + read4 + "peek 3",
       .lines = "0123456789abc\r; ; n\0l|x"s},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.log);
    fake_host::script() = {};
    fake_host::script().fail = row.fail;
    fake_host::script().output = row.output;
    fake_host::script().events_served = row.events_served;
    TESTED command;
    if (!row.gui) command.disable_gui_update();
    command.impl().m_buffer_size = row.capacity;
    command.impl().initialise_buffers();
    std::string reads;
    for (bool available = false; reads.size() < std::strlen(row.reads);)
      reads +=
          command.impl().read_from_pipe(command, 3, available) ? "ND"[available] : "EF"[available];
    EXPECT_EQ(reads, row.reads);
    EXPECT_EQ(join_texts(fake_host::script().log), row.log);
    EXPECT_EQ(join_texts(command.lines) + "|" + command.impl().m_scan_buffer, row.lines);
  }
}

TEST(Output, TheProcessorTimeSpentOnLinesIsAccounted) {
  TESTED busy;
  std::string text = "burn\n";
  ipc_total_processing_time = 0.0;
  const std::clock_t start = std::clock();
  for (int chunk = 0; chunk < 2; ++chunk) busy.parse_output(gsl::span<char>(text.data(), 5));
  const double spent = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  EXPECT_NEAR(ipc_total_processing_time, spent, 0.005);
}

TEXTS tcl_calls;  // every call of a recording command, its words joined by '|'

int record_call(ClientData, Tcl_Interp*, int objc, Tcl_Obj* const objv[]) {
  std::string call = Tcl_GetString(objv[0]);
  for (int i = 1; i < objc; ++i) call += std::string("|") + Tcl_GetString(objv[i]);
  tcl_calls.push_back(call);
  return TCL_OK;
}

std::string stray(const std::string& word, const std::string& buffer) {
  return "Tcl command {" + word + "} not found, NOT posting tcl buffer = " + buffer +
         "; Ooops! Someone is probably incorrectly writing directly to cout/stdout. Run the "
         "offending executable directly with --ipc_mode and debug_msg=on and look for suspect "
         "output. Never write directly to cout. Use msg to post a message instead. Here is the "
         "last bit of output: " +
         buffer;
}

// Lines starting "+" or "-" create or delete a recording host command instead. REPORT in the
// calls stands for the handle of the report attached last.
TEST(Protocol, EachLineSequenceLeadsToItsTclCallsDebugTextsAndWaitingCommand) {
  enum { NO_INTERPRETER, NO_REPORT, REPORT, REPORT_CLEARED };
  const size_t limit = 1000000;
  const std::string xs(limit - 9, 'x'), waiting = "record {" + std::string(limit - 8, 'y');
  const struct {
    int mode;
    TEXTS lines;
    std::string calls, debug, buffer;
  } rows[] = {
      {.mode = NO_INTERPRETER,
       .lines = {"no_such_command at all", "Debug:x still accepted", "{unfinished"},
       .buffer = "{unfinished"},
      {.mode = NO_REPORT,
       .lines = {"record one", "record {first", "second"},
       .calls = "record|one",
       .buffer = "record {first\nsecond"},
      {.mode = NO_REPORT,
       .lines = {"record {first", "second", "third}"},
       .calls = "record|first\nsecond\nthird"},
      {.mode = NO_REPORT, .lines = {"record a\0b"s, ""}, .calls = "record|a"},
      {.mode = REPORT,
       .lines = {"msg_post 0 info {x}", "msg_internal_error 0 {y}", "msg_post 0",
                 "msg_post 0 info {a", "msg_post 0 b}"},
       .calls = "msg_post|REPORT|info|x; msg_internal_error|REPORT|y; msg_post|0; "
                "msg_post|REPORT|info|a\nmsg_post 0 b"},
      {.mode = REPORT_CLEARED, .lines = {"msg_post 0 info {x}"}, .calls = "msg_post|0|info|x"},
      {.mode = NO_REPORT,
       .lines = {"tcl> ", "tcl>"},
       .calls = "msg_tcl_puts|tcl>",
       .debug = stray("tcl>", "tcl>")},
      {.mode = NO_REPORT,
       .lines = {"hello world 100%d", "+hello", "hello again"},
       .debug = stray("hello", "hello world 100%d") + "; " + stray("hello", "hello again")},
      {.mode = NO_REPORT,
       .lines = {"+hello", "hello there", "record\tx"},
       .calls = "hello|there",
       .debug = stray("record\tx", "record\tx")},
      {.mode = NO_REPORT, .lines = {"record {", xs}, .buffer = "record {\n" + xs},
      {.mode = NO_REPORT,
       .lines = {"record {", xs, "", "record fresh"},
       .calls = "record|fresh",
       .debug = "Warning: IPC_COMMAND line buffer exceeded 1MB and will now reset"},
      {.mode = NO_REPORT, .lines = {waiting}, .buffer = waiting},
      {.mode = NO_REPORT,
       .lines = {"-Debug:", "Debug: some text", "Debug:x some text"},
       .debug = stray("Debug:x", "Debug:x some text")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(join_texts(row.lines).substr(0, 80));
    if (row.mode != NO_INTERPRETER && ztcl_get_interpreter() == nullptr) {
      host_start("ipc_test");
      for (const char* name : {"record", msg_tcl_post_cmd, msg_tcl_ie_cmd, "msg_tcl_puts"})
        ztcl_create_command(name, record_call, nullptr);
    }
    tcl_calls.clear();
    CAPTURED_MESSAGES messages;
    TESTED command;
    command.protocol = true;
    MSG_REPORT earlier, report;
    if (row.mode >= REPORT) command.set_msg_report(&earlier);
    if (row.mode >= REPORT) command.set_msg_report(&report);
    if (row.mode == REPORT_CLEARED) command.set_msg_report(nullptr);
    for (const std::string& line : row.lines) {
      if (line[0] == '+') ztcl_create_command(line.c_str() + 1, record_call, nullptr);
      if (line[0] == '-') ztcl_delete_command(line.c_str() + 1);
      if (line[0] != '+' && line[0] != '-') command.process_line(line);
    }
    char handle[56];
    ztcl_ptr_to_string(handle, &report);
    EXPECT_EQ(join_texts(tcl_calls), std::regex_replace(row.calls, std::regex("REPORT"), handle));
    EXPECT_EQ(join_texts(messages.debug.texts()), row.debug);
    EXPECT_EQ(command.impl().m_tcl_buffer, row.buffer);
    ztcl_delete_command("hello");
  }
  host_stop();
}

// Setup words: "pipe" a named pipe; "no_stderr"; "stop=N" stop after N lines; "system" through
// the shell; "sleep=20" ms per pass; "poke" at the first read or shell call, write "hi" to the
// child and terminate it (the answers are listed among the lines); "slow" the first sleep lasts
// 6 ms of real time. Seen: the status at each host call, repeats left out, and after the run
// (N not started, X failed, R running, F finished).
TEST(Run, EachScriptedChildLeadsToItsResultStatusesCallsAndMessages) {
  const std::string create = "create 'prog -x' 'cwd=/d' joined; ", read = "read 3 1024; ";
  const std::string piped =
      "new ; make_pipe; create 'prog --pipe_name=pipe1 -x' 'cwd=/d' joined; +pipe1; ";
  const std::string ended = "sleep 500; wait 7 nohang; close_pipe 3; close_pipe 4";
  const std::string stopped =
      "peek 3; read 3 1024; sleep 0; terminate 7 0 0; close_pipe 3; close_pipe 4";
  const WAIT exit0{1, {0, 0}}, running{0, {0, 0}};
  const struct {
    const char* setup;
    FAILS fail;
    std::deque<std::string> output;
    WAIT wait;
    bool ok;
    THR_PROCESS_EXIT_CODE code;
    const char* seen;
    std::string calls;
    const char *posted, *lines;
  } rows[] = {
      {.setup = "",
       .output = {"a\nb"},
       .wait = exit0,
       .ok = true,
       .seen = "NRF",
       .calls = create + "peek 3; " + read + "sleep 0; peek 3; " + ended,
       .posted = "",
       .lines = "a; b"},
      {.setup = "pipe",
       .wait = exit0,
       .ok = true,
       .seen = "NRF",
       .calls = piped + "peek 3; " + ended + "; remove pipe1; delete pipe1",
       .posted = "",
       .lines = ""},
      {.setup = "pipe",
       .fail = {"+pipe1"},
       .wait = running,
       .code = {0, 1},
       .seen = "NF",
       .calls = piped + "sleep 500; wait 7 nohang; terminate 7 0 1; close_pipe 3; close_pipe 4; "
                        "delete pipe1",
       .posted = "Failed to open pipe; Cannot connect with prog (7)",
       .lines = ""},
      {.setup = "pipe",
       .fail = {"make_pipe"},
       .wait = exit0,
       .seen = "N",
       .calls = "new ; make_pipe; delete ",
       .posted = "Failed to create pipe for subprocess",
       .lines = ""},
      {.setup = "stop=2",
       .output = {"a\nb\nc", "d\n"},
       .wait = exit0,
       .ok = true,
       .seen = "NRF",
       .calls = create + stopped,
       .posted = "",
       .lines = "a; b"},
      {.setup = "stop=1",
       .fail = {"terminate"},
       .output = {"a\n"},
       .wait = exit0,
       .seen = "NRF",
       .calls = create + stopped,
       .posted = "prog (7) could not be terminated",
       .lines = "a"},
      {.setup = "",
       .fail = {"create"},
       .wait = exit0,
       .seen = "NX",
       .calls = "create 'prog -x' 'cwd=/d' joined",
       .posted = "Cannot start program \"prog\": No such file or directory",
       .lines = ""},
      {.setup = "system poke",
       .wait = exit0,
       .ok = true,
       .code = {768, 3},
       .seen = "RF",
       .calls = "system 'prog -x'; write 0 'hi'",
       .posted = "",
       .lines = "poked 0 0"},
      {.setup = "poke",
       .output = {"a"},
       .wait = exit0,
       .ok = true,
       .seen = "NRF",
       .calls =
           create + "peek 3; " + read + "write 4 'hi'; terminate 7 0 0; sleep 0; peek 3; " + ended,
       .posted = "",
       .lines = "poked 2 1; a"},
      {.setup = "sleep=20 no_stderr",
       .output = {"a\n", "", "b", ""},
       .wait = exit0,
       .ok = true,
       .seen = "NRF",
       .calls = "create 'prog -x' 'cwd=/d' none; peek 3; " + read +
                "sleep 20; peek 3; sleep 20; peek 3; " + read +
                "sleep 20; peek 3; sleep 20; peek 3; " + ended,
       .posted = "",
       .lines = "a; b"},
      {.setup = "slow",
       .output = {"a\n", "", "", "b"},
       .wait = exit0,
       .ok = true,
       .seen = "NRF",
       .calls = create + "peek 3; " + read + "sleep 0; peek 3; sleep 1; peek 3; sleep 1; peek 3; " +
                read + "sleep 0; peek 3; " + ended,
       .posted = "",
       .lines = "a; b"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.calls);
    fake_host::script() = {};
    fake_host::script().fail = row.fail;
    fake_host::script().output = row.output;
    fake_host::script().waits = {row.wait};
    fake_host::script().system_status = 768;
    TESTED runner;
    runner.disable_gui_update();
    const auto has = [&](const char* word) { return std::strstr(row.setup, word) != nullptr; };
    if (const char* stop = std::strstr(row.setup, "stop=")) runner.stop_after = std::atoi(stop + 5);
    if (has("no_stderr")) runner.disable_stderr_capture();
    if (has("system")) cfg_set_value("ipc_use_system", "on");
    if (has("sleep=20")) cfg_set_value("ipc_sleep", "20");
    bool pipe = has("pipe"), poke = has("poke"), slow = has("slow");
    std::string seen;
    auto see = [&] {
      const char letter = "NXRF"[runner.get_process_status(0)];
      if (seen.empty() || seen.back() != letter) seen += letter;
    };
    fake_host::script().on_call = [&](const std::string& entry) {
      see();
      if (poke && (entry.rfind("read", 0) == 0 || entry.rfind("system", 0) == 0)) {
        poke = false;
        const int32_t written = runner.write_to_stdin("hi", 2);
        const bool terminated = runner.terminate({0, 0});
        runner.lines.push_back("poked " + std::to_string(written) + " " +
                               std::to_string(terminated));
      }
      if (slow && entry.rfind("sleep", 0) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(6));
      slow &= entry.rfind("sleep", 0) != 0;
    };
    CAPTURED_MESSAGES messages;
    THR_PROCESS_EXIT_CODE code{-1, -1};
    EXPECT_EQ(runner.run("prog -x", "cwd=/d", false, &code, "", pipe), row.ok);
    see();
    EXPECT_EQ(std::tie(code.status, code.exit_code), std::tie(row.code.status, row.code.exit_code));
    EXPECT_EQ(seen, row.seen);
    EXPECT_EQ(join_texts(fake_host::script().log), row.calls);
    EXPECT_EQ(join_texts(messages.posted.texts()), row.posted);
    EXPECT_EQ(join_texts(runner.lines), row.lines);
    EXPECT_EQ(fake_host::live_pipes, 0);
    EXPECT_TRUE(ipc_named_pipes.empty());
    for (const char* key : {"ipc_sleep", "ipc_use_system"}) cfg_unset_value(key);
  }
}

// The child is "b", pid 42; it is polled at 500 ms, then every 200 ms.
TEST(Exit, EachAnswerOfAChildWhosePipeBrokeLeadsToItsEndAndTexts) {
  const WAIT run{0, {0, 0}}, gone{-1, {0, 0}};
  const std::string wait = "Waiting for b (42) to exit after pipe broken, counted to ";
  const std::string done = "b (42) terminated normally; " + wait,
                    died = "b -x: died due to signal ";
  const std::string terminated = "Successfully terminated b (42); " + wait;
  const struct {
    std::deque<WAIT> waits;
    FAILS fail;
    bool had_output, win32, exited;
    THR_PROCESS_EXIT_CODE code;
    int polls;
    const char *end, *posted;
    std::string debug;
  } rows[] = {
      {.waits = {{1, {9, 0}}},
       .had_output = true,
       .exited = true,
       .code = {9, 1},
       .polls = 1,
       .end = "",
       .posted = "",
       .debug = died + "9; " + done + "0"},
      {.waits = {{1, {0x8B, 0}}},
       .had_output = true,
       .exited = true,
       .code = {0x8B, 1},
       .polls = 1,
       .end = "",
       .posted = "",
       .debug = died + "11; Check for core file; " + done + "0"},
      {.waits = {{1, {0x8B, 0}}},
       .had_output = true,
       .win32 = true,
       .exited = true,
       .code = {0x8B, 0},
       .polls = 1,
       .end = "",
       .posted = "",
       .debug = done + "0"},
      {.waits = {run, run, run, {1, {3 << 8, 3}}},
       .had_output = true,
       .exited = true,
       .code = {3 << 8, 3},
       .polls = 4,
       .end = "",
       .posted = "",
       .debug = done + "3"},
      {.waits = {run},
       .had_output = true,
       .code = {0, 1},
       .polls = 20,
       .end = "; sleep 200; terminate 42 0 1",
       .posted = "Pipe to b (42) broken but process still running, terminating...",
       .debug = terminated + "20"},
      {.waits = {gone},
       .had_output = true,
       .polls = 1,
       .end = "; close_handle 42",
       .posted = "Cannot connect with b (42) anymore",
       .debug = "Rogue process!; " + wait + "0"},
      {.waits = {run},
       .code = {0, 1},
       .polls = 1,
       .end = "; terminate 42 0 1",
       .posted = "Cannot connect with b (42)",
       .debug = terminated + "0"},
      {.waits = {run},
       .fail = {"terminate"},
       .polls = 1,
       .end = "; terminate 42 0 1",
       .posted = "Cannot connect with b (42); b (42) is not responding",
       .debug = wait + "0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.debug);
    fake_host::script() = {};
    fake_host::script().fail = row.fail;
    fake_host::script().waits = row.waits;
    fake_host::script().win32 = row.win32;
    CAPTURED_MESSAGES messages;
    const auto [exited, code] = IMPL::kill_process_for_broken_pipe(42, "b -x", "b", row.had_output);
    EXPECT_EQ(exited, row.exited);
    EXPECT_EQ(std::tie(code.status, code.exit_code), std::tie(row.code.status, row.code.exit_code));
    std::string calls = "sleep 500; wait 42 nohang";
    for (int poll = 1; poll < row.polls; ++poll) calls += "; sleep 200; wait 42 nohang";
    EXPECT_EQ(join_texts(fake_host::script().log), calls + row.end);
    EXPECT_EQ(join_texts(messages.posted.texts()), row.posted);
    EXPECT_EQ(join_texts(messages.debug.texts()), row.debug);
  }
}

// The log without the objects' births and deaths; partition orders shortened to their number.
std::string pipe_calls() {
  std::vector<std::string> kept;
  for (const std::string& entry : fake_host::script().log)
    if (entry.rfind("new ", 0) != 0 && entry.rfind("delete ", 0) != 0) kept.push_back(entry);
  const std::string text =
      std::regex_replace(join_texts(kept), std::regex("Partition (\\d+) is ready"), "$1");
  return std::regex_replace(text, std::regex("Finished all partitions"), "end");
}

// "!": std::out_of_range; "-": no line, the pipe could not be made.
TEST(Pipes, TitleAndCommandLineWithTheRunsPipeMadeFirstAndNeverRemoved) {
  const struct {
    bool pipe, shell, pipe_fails;
    const char *command, *title, *expected_title, *line;
  } rows[] = {
      {.command = "prog -x 1", .title = "", .expected_title = "prog", .line = "prog -x 1"},
      {.command = "prog\t-x 1",
       .title = "My job",
       .expected_title = "My job",
       .line = "prog\t-x 1"},
      {.shell = true,
       .command = "echo \"a b\" $HOME `id` \\n",
       .title = "",
       .expected_title = "echo",
       .line = "sh -c \"echo \"a b\" $HOME `id` \\n\""},
      {.pipe = true,
       .command = "prog\t-x 1",
       .title = "",
       .expected_title = "prog\t-x",
       .line = "prog\t-x --pipe_name=pipe1 1"},
      {.pipe = true,
       .shell = true,
       .command = "prog -x 1",
       .title = "",
       .expected_title = "prog",
       .line = "sh --pipe_name=pipe1 -c \"prog -x 1\""},
      {.pipe = true,
       .command = " prog",
       .title = "",
       .expected_title = "",
       .line = " --pipe_name=pipe1 prog"},
      {.pipe = true, .command = "prog", .title = "", .expected_title = "prog", .line = "!"},
      {.pipe = true, .command = "", .title = "", .expected_title = "", .line = "!"},
      {.pipe = true,
       .shell = true,
       .pipe_fails = true,
       .command = "prog -x",
       .title = "",
       .expected_title = "prog",
       .line = "-"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.command);
    fake_host::script() = {};
    if (row.pipe_fails) fake_host::script().fail = {"make_pipe"};
    EXPECT_EQ(IMPL::make_title(row.command, row.title), row.expected_title);
    std::string line = "!";
    {
      SCOPED_THR_NAMED_PIPE owner;
      if (row.pipe) owner.named_pipe = new THR_NAMED_PIPE("");
      try {
        line = IMPL::make_full_command_line(row.shell, row.command, owner).value_or("-");
      } catch (const std::out_of_range&) {
      }
    }
    EXPECT_EQ(line, row.line);
    const char* calls = !row.pipe        ? ""
                        : row.pipe_fails ? "new ; make_pipe; delete "
                                         : "new ; make_pipe; delete pipe1";
    EXPECT_EQ(join_texts(fake_host::script().log), calls);
  }
  EXPECT_EQ(fake_host::live_pipes, 0);
}

// c cannot be connected; writing to a fails once.
TEST(Pipes, PreparedPipesAreListedInOrderTakeTheBroadcastAndLeaveWithTheirOwner) {
  fake_host::script() = {};
  fake_host::script().fail = {"+c", "a<"};
  IPC_COMMAND command;
  EXPECT_TRUE(command.send_through_pipe("hi")) << "no pipe: nothing to fail";
  auto a = std::make_unique<SCOPED_THR_NAMED_PIPE>();
  SCOPED_THR_NAMED_PIPE b, c;
  for (auto [owner, name] : {std::pair{a.get(), "a"}, {&b, "b"}, {&c, "c"}})
    owner->named_pipe = new THR_NAMED_PIPE(name);
  EXPECT_TRUE(a->prepare() && b.prepare());
  EXPECT_FALSE(c.prepare() || c.registered);
  EXPECT_FALSE(command.send_through_pipe("hello"));
  a.reset();
  EXPECT_TRUE(command.send_through_pipe("again"));
  EXPECT_EQ(pipe_calls(), "+a; +b; +c; a<hello; b<hello; remove a; b<again");
  // Unlisting takes the first equal entry and ignores pipes that are not listed.
  THR_NAMED_PIPE x(""), y("");
  ipc_named_pipes = {&x, &y, &x};
  ipc_pop_named_pipe(&x);
  ipc_pop_named_pipe(b.named_pipe);
  EXPECT_EQ(ipc_named_pipes, (PIPES{&y, &x}));
  ipc_named_pipes.clear();
}

TEST(Pipes, ARegistryThatCannotGrowLeavesItsLockFree) {
  THR_NAMED_PIPE pipe("");
  PIPES().swap(ipc_named_pipes);  // no spare capacity: the push allocates
  fail_next_allocation = true;
  EXPECT_THROW(ipc_push_named_pipe(&pipe), std::bad_alloc);
  // Another thread takes the lock at once; were it still held, this would never finish.
  auto other_thread = std::async(std::launch::async, [&] { ipc_push_named_pipe(&pipe); });
  if (other_thread.wait_for(std::chrono::seconds(60)) != std::future_status::ready) std::_Exit(1);
  EXPECT_EQ(ipc_named_pipes, PIPES{&pipe});
  ipc_named_pipes.clear();
}

// Helper I's pipes are "toI" and "fromI"; "+" connect, "?" read, "<" write.
struct POOL {
  POOL(int helpers, int partitions) {
    fake_host::script() = {};
    for (int i = 0; i < 2 * helpers; ++i) {
      const std::string name = (i % 2 == 0 ? "to" : "from") + std::to_string(i / 2);
      pipes.push_back(std::make_unique<THR_NAMED_PIPE>(name.c_str()));
      (i % 2 == 0 ? to : from).push_back(pipes.back().get());
    }
    args = {to.data(), from.data(), helpers, partitions, helpers, true};
  }
  bool connect(THR_NAMED_PIPE* run_pipe = nullptr) {
    SCOPED_THR_NAMED_PIPE owner;
    owner.named_pipe = run_pipe;
    return IMPL::connect_pipes(owner, &args);
  }
  std::vector<std::unique_ptr<THR_NAMED_PIPE>> pipes;
  PIPES to, from;
  IMPL::PROCESS_POOL_COMMUNICATION_ARGUMENTS args;
};

// Connecting: the run's pipe, then each helper fully in turn, up to the first failure. Each pass
// then reads one report per helper in helper order, answers it with the next partition, and
// sends the notice once, as soon as the last partition is out. Calls: those of the passes, or of
// connecting when no pass follows.
TEST(Pool, ConnectionsAndPassesHandOutPartitionsInHelperOrderAndTheNoticeOnce) {
  const std::string done0 = "Helper 0 is done";
  const struct {
    int helpers, partitions, passes;
    bool run_pipe;
    decltype(fake_host::SCRIPT::pipe_reads) reads;
    FAILS fail;
    bool ok;
    const char* calls;
    int next_partition;
    bool finish_pending;
  } rows[] = {
      {.helpers = 2,
       .partitions = 4,
       .ok = true,
       .calls = "+to0; +from0; to0<0; +to1; +from1; to1<1",
       .next_partition = 2,
       .finish_pending = true},
      {.helpers = 3,
       .partitions = 2,
       .ok = true,
       .calls = "+to0; +from0; to0<0; +to1; +from1; to1<1; +to2; +from2; to2<2",
       .next_partition = 3,
       .finish_pending = true},
      {.helpers = 2,
       .partitions = 4,
       .fail = {"+to0"},
       .calls = "+to0",
       .next_partition = 2,
       .finish_pending = true},
      {.helpers = 2,
       .partitions = 4,
       .fail = {"+from1"},
       .calls = "+to0; +from0; to0<0; +to1; +from1",
       .next_partition = 2,
       .finish_pending = true},
      {.helpers = 3,
       .partitions = 5,
       .fail = {"to1<"},
       .calls = "+to0; +from0; to0<0; +to1; +from1; to1<1",
       .next_partition = 3,
       .finish_pending = true},
      {.helpers = 1,
       .partitions = 3,
       .run_pipe = true,
       .ok = true,
       .calls = "+run; +to0; +from0; to0<0; remove run",
       .next_partition = 1,
       .finish_pending = true},
      {.helpers = 1,
       .partitions = 3,
       .run_pipe = true,
       .fail = {"+run"},
       .calls = "+run",
       .next_partition = 1,
       .finish_pending = true},
      {.helpers = 3,
       .partitions = 5,
       .passes = 4,
       .reads = {{"from0", {"", "", done0}}, {"from1", {"", "Helper 1 is done"}}},
       .ok = true,
       .calls = "from0?; from1?; from2?; from0?; from1?; to1<3; from2?; from0?; to0<4; to0<end; "
                "to1<end; "
                "to2<end",
       .next_partition = 5},
      {.helpers = 3,
       .partitions = 6,
       .passes = 1,
       .reads = {{"from0", {done0}}, {"from2", {"Helper 2 is done"}}},
       .ok = true,
       .calls = "from0?; to0<3; from1?; from2?; to2<4",
       .next_partition = 5,
       .finish_pending = true},
      {.helpers = 2,
       .partitions = 2,
       .passes = 2,
       .ok = true,
       .calls = "to0<end; to1<end",
       .next_partition = 2},
      {.helpers = 3,
       .partitions = 2,
       .passes = 2,
       .ok = true,
       .calls = "",
       .next_partition = 3,
       .finish_pending = true},
      {.partitions = 3, .passes = 1, .ok = true, .calls = "", .finish_pending = true},
      {.helpers = 1,
       .partitions = 3,
       .passes = 1,
       .reads = {{"from0", {done0 + std::string(600, ' ')}}},
       .ok = true,
       .calls = "from0?; to0<1",
       .next_partition = 2,
       .finish_pending = true},
      {.helpers = 3,
       .partitions = 6,
       .passes = 1,
       .reads = {{"from0", {done0}}},
       .fail = {"from1?"},
       .calls = "from0?; to0<3; from1?",
       .next_partition = 4,
       .finish_pending = true},
      {.helpers = 2,
       .partitions = 6,
       .passes = 1,
       .reads = {{"from0", {done0}}},
       .fail = {"to0<"},
       .calls = "from0?; to0<2",
       .next_partition = 2,
       .finish_pending = true},
      {.helpers = 3,
       .partitions = 3,
       .passes = 1,
       .fail = {"to1<"},
       .calls = "to0<end; to1<end",
       .next_partition = 3,
       .finish_pending = true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.calls);
    POOL pool(row.helpers, row.partitions);
    auto off_main = [&] {
      return pool.connect() && IMPL::handle_process_pool_communication(pool.args);
    };
    EXPECT_TRUE(std::async(std::launch::async, off_main).get());
    EXPECT_EQ(pipe_calls(), "") << "nothing happens off the main thread";
    fake_host::script().pipe_reads = row.reads;
    if (row.passes == 0) fake_host::script().fail = row.fail;
    bool ok = pool.connect(row.run_pipe ? new THR_NAMED_PIPE("run") : nullptr);
    if (row.passes > 0) fake_host::script().log.clear();
    if (row.passes > 0) fake_host::script().fail = row.fail;
    for (int pass = 0; pass < row.passes; ++pass)
      ok = IMPL::handle_process_pool_communication(pool.args);
    EXPECT_EQ(ok, row.ok);
    EXPECT_EQ(pipe_calls(), row.calls);
    EXPECT_EQ(pool.args.next_partition, row.next_partition);
    EXPECT_EQ(pool.args.finish_pending, row.finish_pending);
  }
}

int host_handler_signal = 0;

TEST(DeathTest, TheSigtermWalkAndTheInternalErrorsOfInconsistentUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the dying copy must be the main thread
  fake_host::script() = {};
  fake_host::script().fail = {"terminate 31"};  // a refusal is not reported, the walk goes on
  const auto walk = [](bool interrupting_a_registry_change) {
    signal(SIGTERM, [](int number) { host_handler_signal = number; });
    TESTED first, never_started, second, third;
    first.impl().m_pid = 31;
    { TESTED().impl().m_pid = 34; }
    second.impl().m_pid = 32;
    third.impl().m_pid = 33;
    std::optional<IPC_REGISTRY_CHANGE> change;
    if (interrupting_a_registry_change) change.emplace();  // the list may be half changed
    ipc_signal_handler(SIGTERM);
    std::fprintf(stderr, "%s, signal %d", join_texts(fake_host::script().log).c_str(),
                 host_handler_signal);
    std::_Exit(0);
  };  // asks for exactly the live started children, in order, then chains
  EXPECT_EXIT(walk(false), ::testing::ExitedWithCode(0),
              "^terminate 31 0 0; terminate 32 0 0; terminate 33 0 0, signal 15$");
  EXPECT_EXIT(walk(true), ::testing::ExitedWithCode(0), "^, signal 15$");
  for (const char* size : {"0", "-1"}) {
    cfg_set_value("ipc_buffer_size", size);
    EXPECT_DEATH(TESTED().run("prog", "", false, nullptr, "", false),
                 "INTERNAL ERROR: buf_size > 0 \\(IPC ipc/ipc_command:749\\)");
  }
  cfg_unset_value("ipc_buffer_size");
  TESTED runner;
  ASSERT_TRUE(runner.run("prog", "", false, nullptr, "", false));
  EXPECT_DEATH(runner.run("prog", "", false, nullptr, "", false),
               "strictly single-use! \\(IPC ipc/ipc_command:604\\)");
  EXPECT_DEATH(SCOPED_THR_NAMED_PIPE().prepare(), "named_pipe \\(IPC ipc/ipc_command:584\\)");
  for (const char* report : {"Helper 2 is done", "Helper done"}) {  // to helper 1
    POOL pool(3, 5);
    ASSERT_TRUE(pool.connect());
    fake_host::script().pipe_reads["from1"] = {report};
    EXPECT_DEATH(IMPL::handle_process_pool_communication(pool.args),
                 "INTERNAL ERROR: process_id == i \\(IPC ipc/ipc_command:925\\)");
  }
}

}  // namespace
