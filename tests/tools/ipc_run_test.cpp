// End-to-end tests of build/bin/ipc_run: real children, real host layer, its output and status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

extern char** environ;

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string CHILDREN = IPC_CHILDREN_DIR;
const std::string EXAMPLES = std::string(IPC_SOURCE_DIR) + "/examples";

struct TOOL_RESULT {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  double seconds = 0;
};

struct SIGNAL_PLAN {
  int number = 0;           // 0: no signal
  std::string when_output;  // sent once stdout holds this text
};

void set_blocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// Runs the program words[0] (ipc_run when words holds only its arguments), feeding input on its
// stdin, optionally signalling it mid-run.
TOOL_RESULT run_program(std::vector<std::string> words, const std::string& input = "",
                        const SIGNAL_PLAN& plan = {}) {
  int out[2], err[2], in[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  close(in[0]);
  if (!input.empty()) {
    EXPECT_EQ(write(in[1], input.data(), input.size()), (ssize_t)input.size());
  }
  close(in[1]);

  TOOL_RESULT result;
  set_blocking(out[0], false);
  set_blocking(err[0], false);
  bool signalled = plan.number == 0;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    poll(fds, 2, 100);
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      bool& open = i == 0 ? out_open : err_open;
      if (!open) continue;
      ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) (i == 0 ? result.out : result.err).append(buffer, count);
      if (count == 0) open = false;
    }
    if (!signalled && result.out.find(plan.when_output) != std::string::npos) {
      kill(pid, plan.number);
      signalled = true;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) {
      ADD_FAILURE() << "ipc_run did not end";
      kill(pid, SIGKILL);
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

TOOL_RESULT run_tool(const std::vector<std::string>& args, const std::string& input = "",
                     const SIGNAL_PLAN& plan = {}) {
  std::vector<std::string> words{IPC_RUN_PATH};
  words.insert(words.end(), args.begin(), args.end());
  return run_program(words, input, plan);
}

// A shell child printing the given lines.
std::vector<std::string> printing(const std::vector<std::string>& options,
                                  const std::vector<std::string>& lines) {
  std::vector<std::string> args = options;
  args.insert(args.end(), {"--", "printf", "%s\\n"});
  args.insert(args.end(), lines.begin(), lines.end());
  return args;
}

TEST(IpcRunTest, TclModeRelaysMessagesAndShowsStrayText) {
  TOOL_RESULT r = run_tool(printing(
      {}, {"msg_post 0 error 7 {disk full}", "msg_post 0 W {no id}", "msg_post 0 info 9 {two",
           "lines}", "stray text here", "msg_internal_error 0 {bad state}",
           "msg_tcl_puts {raw text}", "msg_post 0 bogus x", "gone \x1b[2J {never", "closed"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "ERROR 7: disk full\nWARNING: no id\nINFO 9: two\nlines\n"
            "INTERNAL ERROR: bad state\nraw text");
  // A command never completed is stray too; a child cannot send the terminal escapes.
  EXPECT_EQ(r.err,
            "ipc_run: stray output: stray text here\n"
            "ipc_run: stray output: gone \\x1B[2J {never\n"
            "ipc_run: stray output: closed\n");
  EXPECT_EQ(run_tool(printing({"--qui"}, {"stray text here"})).err, "");
}

TEST(IpcRunTest, PlainModeReportDebugAndSuppression) {
  TOOL_RESULT plain = run_tool(printing({"--plain"}, {"a line", "msg_post 0 error 7 x"}));
  EXPECT_EQ(plain.out, "INFO 112000: a line\nINFO 112000: msg_post 0 error 7 x\nINFO 112000: \n");

  TOOL_RESULT report = run_tool(
      printing({"--report"}, {"msg_post 0 error 7 {disk full}", "msg_post 0 info {done}"}));
  EXPECT_EQ(report.out, "report: ERROR 7: disk full\nreport: INFO: done\nreport: 2 messages\n");

  TOOL_RESULT debug = run_tool(printing({"--debug"}, {"Debug: looking at 3 files", "stray"}));
  EXPECT_THAT(debug.err, AllOf(HasSubstr("DEBUG IPC: Launching: printf"),
                               HasSubstr("DEBUG CHILD: looking at 3 files"),
                               HasSubstr("NOT posting tcl buffer = stray"),
                               HasSubstr("ipc_run: stray output: stray\n")));
  EXPECT_EQ(debug.out, "");
  EXPECT_EQ(run_tool(printing({}, {"Debug: hidden"})).err, "");

  TOOL_RESULT suppressed =
      run_tool(printing({"--plain", "--suppress", "112000"}, {"hidden", "also hidden"}));
  EXPECT_EQ(suppressed.out, "");
  EXPECT_EQ(suppressed.status, 0);
}

TEST(IpcRunTest, StderrCaptureShellWrapAndSystemShell) {
  TOOL_RESULT joined = run_tool({"--plain", "--", CHILDREN + "/write_both"});
  EXPECT_EQ(joined.out, "INFO 112000: to stdout\nINFO 112000: to stderr\nINFO 112000: \n");
  TOOL_RESULT separate = run_tool({"--plain", "--no-stderr", "--", CHILDREN + "/write_both"});
  EXPECT_EQ(separate.out, "INFO 112000: to stdout\nINFO 112000: \n");
  EXPECT_EQ(separate.err, "to stderr\n");

  // Words reach the child exactly, through the word splitter, sh -c and the system shell alike.
  const std::vector<std::string> words = {"echo", "a\"b", "$HOME", "c\\d", "`x`", "it's", "a  b"};
  std::vector<std::string> args = {"--plain", "--"};
  args.insert(args.end(), words.begin(), words.end());
  EXPECT_EQ(run_tool(args).out, "INFO 112000: a\"b $HOME c\\d `x` it's a  b\nINFO 112000: \n");
  args.insert(args.begin(), "--shell");
  EXPECT_EQ(run_tool(args).out, "INFO 112000: a\"b $HOME c\\d `x` it's a  b\nINFO 112000: \n");

  TOOL_RESULT system =
      run_tool({"--set", "ipc_use_system=on", "--summary", "-c", "echo sys; exit 4"});
  EXPECT_EQ(system.status, 4);
  EXPECT_EQ(system.out, "sys\n");  // the system shell's output is not read by the library
  EXPECT_EQ(system.err, "ipc_run: ok=1 status=1024 exit_code=4\n");
}

struct CASE {
  std::vector<std::string> args;
  int status;
  ::testing::Matcher<const std::string&> out;
  ::testing::Matcher<const std::string&> err;
};

TEST(IpcRunTest, ExitStatusesOptionsAndTheirDiagnostics) {
  using ::testing::Eq;
  const std::string not_executable = std::string(IPC_SOURCE_DIR) + "/README.md";
  const CASE cases[] = {
      {{"--summary", "-c", "sh -c 'exit 7'"},
       7,
       Eq(""),
       Eq("ipc_run: ok=1 status=1792 exit_code=7\n")},
      {{"--", "sh", "-c", "kill -9 $$"},
       137,
       Eq(""),
       Eq("ipc_run: sh was killed by signal 9 (Killed)\n")},
      {{"--set=ipc_use_system=1", "-c", "kill -TERM $$"}, 143, Eq(""), HasSubstr("signal 15")},
      {{"--", "/no/such/program", "x"},
       127,
       Eq("ERROR: Cannot start program \"/no/such/program\": No such file or directory\n"),
       Eq("")},
      {{"--", not_executable}, 126, HasSubstr("Permission denied"), Eq("")},
      {{"--shell", "--", "no_such_program_here"},
       127,
       Eq(""),
       AllOf(HasSubstr("ipc_run: stray output: "), HasSubstr("no_such_program_here: not found"))},
      {{"--timeout", "0.3", "--", "sleep", "30"},
       124,
       Eq(""),
       Eq("ipc_run: sleep stopped after the --timeout of 0.3 seconds\n")},
      {{"--cwd", "/no/such/dir", "--", "pwd"},
       125,
       Eq("ERROR: Cannot use \"/no/such/dir\" as the working directory of \"pwd\": No such file "
          "or directory\n"),
       Eq("")},
      {{"--", CHILDREN + "/sleep_forever", "--close-output"},
       125,
       HasSubstr("Cannot connect with"),
       Eq("")},
      {{"--eval", "no_such_command", "--", "true"},
       125,
       Eq(""),
       Eq("ipc_run: --eval: invalid command name \"no_such_command\"\n")},
      // GNU conventions: abbreviations, -cVALUE, bundling, --opt=value; cwd and env reach the
      // child.
      {{"--pla", "--summ", "-qcprintf 'x\\n'"},
       0,
       Eq("INFO 112000: x\nINFO 112000: \n"),
       Eq("ipc_run: ok=1 status=0 exit_code=0\n")},
      {{"--", "echo", "exec", "true"}, 0, Eq(""), Eq("ipc_run: stray output: exec true\n")},
      {{"--trust", "--", "echo", "exec", "true"}, 0, Eq(""), Eq("")},
      {{"--plain", "--cwd=/", "--env", "IPC_T=a 'b'", "--option", "env=IPC_U=u", "--", "sh", "-c",
        "pwd; echo \"$IPC_T\" $IPC_U"},
       0,
       Eq("INFO 112000: /\nINFO 112000: a 'b' u\nINFO 112000: \n"),
       Eq("")},
  };
  for (const CASE& c : cases) {
    TOOL_RESULT r = run_tool(c.args);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(r.status, c.status);
    EXPECT_THAT(r.out, c.out);
    EXPECT_THAT(r.err, c.err);
  }

  TOOL_RESULT talked =
      run_tool({"--", "sh", "-c",
                "echo msg_post 0 info hi; exec " + CHILDREN + "/sleep_forever --close-output"});
  EXPECT_EQ(talked.status, 125);
  EXPECT_THAT(talked.out, AllOf(HasSubstr("INFO: hi\n"),
                                HasSubstr("broken but process still running, terminating...")));
}

TEST(IpcRunTest, NamedPipeBroadcastAndBackendPackage) {
  // The pipe's name goes on the child's command line unquoted: a blank in $TMPDIR must not matter.
  const std::string blank_directory = ::testing::TempDir() + "/with blank";
  std::filesystem::create_directories(blank_directory);
  const char* old_root = std::getenv("TMPDIR");
  const std::string saved_root = old_root != nullptr ? old_root : "";
  setenv("TMPDIR", blank_directory.c_str(), 1);
  TOOL_RESULT r = run_tool({"--named-pipe", "--eval", "after 300 {ipc_send hello}", "--",
                            EXAMPLES + "/pipe_backend.tcl", "--count=1"});
  if (old_root != nullptr)
    setenv("TMPDIR", saved_root.c_str(), 1);
  else
    unsetenv("TMPDIR");
  std::filesystem::remove_all(blank_directory);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "INFO: pipe_backend: listening on its named pipe\n"
            "INFO: pipe_backend received: hello\n");

  // The demo uses the Tcl package; its awkward texts must arrive as written.
  TOOL_RESULT demo = run_tool({"--", EXAMPLES + "/demo_backend.tcl"});
  EXPECT_EQ(demo.status, 0);
  EXPECT_THAT(demo.out, AllOf(HasSubstr("WARNING 1002: 50% done; next: [step 2] costs $0 {free}\n"),
                              HasSubstr("INFO 1003: a message\nover three\nlines\n"),
                              Not(HasSubstr("stray"))));

  TOOL_RESULT package = run_tool({"--debug", "--", "tclsh8.6",
                                  std::string(IPC_SOURCE_DIR) + "/tests/children/package_child.tcl",
                                  std::string(IPC_SOURCE_DIR) + "/ipc/tcl"});
  EXPECT_EQ(package.out,
            "ERROR 5: unbalanced { and $dollar [bracket]\nsecond line\\\n"
            "WARNING: no id\nINTERNAL ERROR: state \"broken\"\nas it is\nINFO: pipe=/tmp/p\n"
            "INFO: caught: wrong # args: should be \"ipc_backend::post severity ?id? text\"\n");
  EXPECT_THAT(package.err, HasSubstr("DEBUG CHILD: debug words\n"));

  // A bad call of a host command is a Tcl error on the debug channel; the host goes on.
  TOOL_RESULT bad = run_tool(printing({"--debug"}, {"ipc_send", "msg_post 0 info {still here}"}));
  EXPECT_EQ(bad.status, 0);
  EXPECT_EQ(bad.out, "INFO: still here\n");
  EXPECT_THAT(bad.err, HasSubstr("wrong # args: should be \"ipc_send TEXT\""));
}

TEST(IpcRunTest, PoolOfThreeHelpersOverFivePartitions) {
  const std::string results = ::testing::TempDir() + "/ipc_run_pool";
  std::filesystem::remove_all(results);
  std::filesystem::create_directories(results);
  TOOL_RESULT r = run_tool(
      {"--pool", "3:5", "--helper", CHILDREN + "/pool_helper --work_ms=30 --result_dir=" + results,
       "--", EXAMPLES + "/pool_coordinator.tcl", "--result_dir=" + results, "--partitions=5"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (int p = 0; p < 5; ++p)
    EXPECT_THAT(r.out, HasSubstr(": partition " + std::to_string(p) + " done\n"));
  EXPECT_THAT(r.out, HasSubstr("INFO: total 124750 over 5 partitions\n"));
  EXPECT_EQ(r.err, "");
  std::filesystem::remove_all(results);
}

TEST(IpcRunTest, StopRequestSigtermAndStdin) {
  const std::vector<std::string> waiting = {"--", "sh", "-c",
                                            "echo msg_post 0 info started; exec sleep 30"};
  TOOL_RESULT stopped = run_tool(waiting, "", {SIGINT, "started"});
  EXPECT_EQ(stopped.status, 130);
  EXPECT_LT(stopped.seconds, 10);

  TOOL_RESULT terminated = run_tool(waiting, "", {SIGTERM, "started"});
  EXPECT_EQ(terminated.status, 1);
  EXPECT_THAT(terminated.out, HasSubstr("Terminating backend processes...\n"));
  EXPECT_LT(terminated.seconds, 10);

  // The child's input ends with ours, so cat ends too.
  TOOL_RESULT forwarded = run_tool({"--plain", "--stdin", "--", "cat"}, "one\ntwo\n");
  EXPECT_EQ(forwarded.status, 0);
  EXPECT_EQ(forwarded.out, "INFO 112000: one\nINFO 112000: two\nINFO 112000: \n");
}

TEST(IpcRunTest, UsageErrorsHelpAndVersion) {
  const std::vector<std::vector<std::string>> mistakes = {
      {},
      {"--bogus", "true"},
      {"--title"},
      {"--set", "novalue", "true"},
      {"--suppress", "x", "true"},
      {"--pool", "3", "--helper", "h", "true"},
      {"--pool", "3:5", "true"},
      {"--helper", "h", "true"},
      {"-c", "true", "extra"},
      {"--plain=1", "true"},
      {"--named-pipe", "true"},
      {"--s", "true"},
      {"--set", "ipc_buffer_size=0", "true"},
      {"--timeout", "5x", "true"},
      {"--env", "=x", "true"},
      {"--color=sometimes", "true"},
      {"--set=ipc_use_system=1", "--cwd=/", "true"}};
  for (const auto& args : mistakes) {
    TOOL_RESULT r = run_tool(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_THAT(r.err, AllOf(HasSubstr("ipc_run: "), HasSubstr("usage: ipc_run")));
    EXPECT_EQ(r.out, "");
  }
  EXPECT_THAT(
      run_tool({"--set", "no_such_key=1", "true"}).err,
      HasSubstr("unknown key \"no_such_key\"; known keys: ipc_use_system, ipc_buffer_size"));
  TOOL_RESULT help = run_tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, AllOf(HasSubstr("usage: ipc_run"), HasSubstr("--pool=H:P")));
  EXPECT_EQ(run_tool({"--version"}).out, "ipc_run 1.0.0\n");
}

TEST(IpcRunTest, ProgressLineAndColoursOnlyOnATerminal) {
  const std::string child =
      "sh -c 'echo ipc_progress 1 2 {half way}; echo msg_post 0 info done; echo ipc_progress 1'";
  // script(1) gives ipc_run a terminal for its stdout and stderr.
  TOOL_RESULT terminal = run_program(
      {"/usr/bin/script", "-qec",
       "env -u NO_COLOR TERM=xterm " + std::string(IPC_RUN_PATH) + " -- " + child, "/dev/null"});
  EXPECT_EQ(terminal.status, 0);
  EXPECT_EQ(terminal.out,
            "\r\033[Kipc_run: [##########          ]  50% half way"
            "\r\033[K\033[1;36mINFO:\033[0m done\r\n");

  // Elsewhere ipc_progress shows nothing, yet is no stray text; a bad call is a Tcl error.
  TOOL_RESULT piped = run_tool({"--debug", "--", "sh", "-c",
                                "echo ipc_progress 1 2 {half way}; echo msg_post 0 info done; echo "
                                "ipc_progress 1"});
  EXPECT_EQ(piped.out, "INFO: done\n");
  EXPECT_THAT(piped.err, AllOf(HasSubstr("DONE TOTAL ?TEXT?"), Not(HasSubstr("stray output")),
                               Not(HasSubstr("50%"))));
  EXPECT_EQ(run_tool(printing({"--color"}, {"msg_post 0 E 3 {x}"})).out,
            "\033[1;31mERROR 3:\033[0m x\n");
}

// What a text documents: options (from their defining lines), exit statuses and --set keys.
struct DOCUMENTED {
  std::set<std::string> options, statuses, keys;
};

std::set<std::string> all_matches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  const std::regex expression(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
       it != std::sregex_iterator(); ++it)
    found.insert((*it)[1]);
  return found;
}

DOCUMENTED from_help(const std::string& help) {
  const size_t statuses = help.find("Exit status:");
  return {all_matches(help, R"(\n  (?:-\w, |    )--([a-z-]+))"),
          all_matches(help.substr(statuses), R"(\n  (\S+) )"),
          all_matches(help, R"(\b((?:ipc|thr|tcl)_[a-z_]+)=)")};
}

DOCUMENTED from_man_page(const std::string& page) {
  std::string plain = std::regex_replace(page, std::regex(R"(\\f[BIR]|\\)"), "");
  const size_t statuses = plain.find(".SH EXIT STATUS");
  return {all_matches(plain, R"(\.TP\n(?:-\w, )?--([a-z-]+))"),
          all_matches(plain.substr(statuses), R"(\.TP\n(\S+)\n)"),
          all_matches(plain, R"(\b((?:ipc|thr|tcl)_[a-z_]+)=)")};
}

TEST(IpcRunTest, ManPageDocumentsWhatHelpDoes) {
  std::ifstream file(std::string(IPC_SOURCE_DIR) + "/tools/ipc_run/ipc_run.1");
  const std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const DOCUMENTED help = from_help(run_tool({"--help"}).out);
  const DOCUMENTED man = from_man_page(page);
  EXPECT_GT(help.options.size(), 20u);
  EXPECT_EQ(man.options, help.options);
  EXPECT_EQ(man.statuses, help.statuses);
  EXPECT_EQ(man.keys, help.keys);
}

}  // namespace
