// ipc_run end to end: one table of command lines, each with what ipc_run prints, its exit status
// and what it leaves behind (live processes carrying the row's marker, files in the row's $TMPDIR).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/support/processes.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::_;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
using TEXT = ::testing::Matcher<const std::string&>;
using STATUS = ::testing::Matcher<int>;
using CLOCK = std::chrono::steady_clock;

const std::string SOURCE = IPC_SOURCE_DIR;
const fs::path SCRATCH = fs::path(::testing::TempDir()) / ("ipc_run_" + std::to_string(getpid()));
const std::string GRANDCHILD = "tail -f /dev/null >/dev/null 2>&1 & echo msg_post 0 info started; ";

// What a row does to ipc_run once its child says "started": signals (the first in the lowest
// byte), or closing its output.
constexpr int CLOSE_OUTPUT = -1;

struct ROW {
  ROW(std::string line, STATUS status, TEXT out = "", TEXT err = "", int act = 0)
      : line(std::move(line)), status(status), out(out), err(err), act(act) {}
  std::string line;  // for sh, with ipc_run, the examples, the children and SCRATCH on its PATH
  STATUS status;     // exit status, or 128 + the signal that ended ipc_run
  TEXT out, err;
  int act;
};

int wait_reading(pid_t pid, const ROW& row, int fd, std::string& out) {
  bool acted = row.act == 0, exited = false;
  int status = 0;
  for (auto start = CLOCK::now(); fd >= 0 || !exited;) {
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    const ssize_t n = poll(&ready, 1, 50) > 0 ? read(fd, buffer, sizeof buffer) : -1;
    if (n > 0) out.append(buffer, n);
    if (n == 0) close(std::exchange(fd, -1));
    exited = exited || waitpid(pid, &status, WNOHANG) == pid;
    if (!acted && out.find("started") != std::string::npos) {
      acted = true;
      if (row.act == CLOSE_OUTPUT) close(std::exchange(fd, -1));
      for (int act = row.act; act > 0; act >>= 8) kill(pid, act & 0xFF);
    }
    if (CLOCK::now() - start > std::chrono::seconds(30)) {
      ADD_FAILURE() << "ipc_run or its output did not end";
      if (!exited) kill(pid, SIGKILL), waitpid(pid, &status, 0);
      break;
    }
  }
  if (fd >= 0) close(fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the row in its own $TMPDIR, with a blank in its name, which is also its directory; returns
// its standard output.
std::string run_row(const ROW& row, size_t index) {
  SCOPED_TRACE("row " + std::to_string(index) + ": " + row.line);
  const fs::path tmp = SCRATCH / (std::to_string(index) + " tmp");
  const std::string err = SCRATCH / (std::to_string(index) + ".err"), bin = IPC_RUN_PATH;
  const std::string marker = "IPC_RUN_ROW=" + SCRATCH.filename().string() + std::to_string(index);
  const std::string script =
      "cd '" + tmp.string() + "' && export " + marker + " TMPDIR='" + tmp.string() +
      "' PATH=" + SCRATCH.string() + ":" + bin.substr(0, bin.rfind('/')) + ":" + SOURCE +
      "/examples:" + IPC_CHILDREN_DIR + ":$PATH && exec " + row.line + " 2>" + err;
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  fs::create_directories(tmp);
  int in[2], out[2];  // the input stays open: only ipc_run may end its child's
  EXPECT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  for (int end : {in[0], out[1]}) close(end);
  std::string output;
  EXPECT_THAT(wait_reading(pid, row, out[0], output), row.status) << read_file(err);
  close(in[1]);
  EXPECT_THAT(output, row.out);
  EXPECT_THAT(read_file(err), row.err);
  for (const std::string& process : survivors(marker, std::chrono::seconds(2))) {
    ADD_FAILURE() << process << " outlived ipc_run";
    kill(std::stoi(process), SIGKILL);
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(tmp))
    ADD_FAILURE() << entry.path() << " left in $TMPDIR";
  fs::remove_all(tmp);
  return output;
}

TEST(IpcRun, CommandLinesTheirOutputStatusAndLeftovers) {
  fs::create_directories(SCRATCH / "pool");
  // Opens the named pipe it may be given, leaves a grandchild in its group, says so, waits.
  write_script(
      SCRATCH, "backend",
      "case $1 in --pipe_name=*) exec 3<>\"${1#*=}\";; esac\n" + GRANDCHILD + "exec sleep 1000");
  // A pool helper that opens its pipes, then runs its first argument.
  write_script(SCRATCH, "fake_helper", "exec 3<\"${3#*=}\" 4>\"${4#*=}\"; eval \"$1\"");
  const std::string plain_end = "INFO 112000: \n", pool = (SCRATCH / "pool").string();
  const std::string echoed = "INFO 112000: a\"b $HOME c\\d `x` it's a  b\n" + plain_end;
  const std::string stray = "ipc_run: stray output: ", piped = "ipc_run --named-pipe -- backend x";
  std::vector<ROW> rows = {
      {R"(ipc_run -- printf '%s\n' 'msg_post 0 error 7 {disk full}' 'msg_post 0 W {no id}' )"
       R"('Debug: hidden' 'msg_post 0 info 9 {two' 'lines}' 'stray text here' 'msg_post 0 bogus )"
       R"(x' 'msg_internal_error 0 {bad state}' 'msg_tcl_puts {raw text}' )"
       R"-("$(printf 'gone \033[2J {never')" 'msg_post 0 info after' closed)-",
       0,
       "ERROR 7: disk full\nWARNING: no id\nINFO 9: two\nlines\nINTERNAL ERROR: bad state\nraw "
       "textINFO: after\n",
       stray +
           "stray text here\nipc_run: backend line failed: msg_post: bad severity \"bogus\": "
           "must be error, warning, info, E, W or I: msg_post 0 bogus x\n" +
           stray + "gone \\x1B[2J {never\n" + stray + "closed\n"},
      // --strict fails a run whose lines failed or were stray, unless the child failed already.
      {R"(ipc_run --strict -q -- printf '%s\n' 'msg_post 0 info a b' 'msg_post 0 info "$x"' x)", 65,
       "", "ipc_run: --strict: 3 lines of printf failed or were stray output\n"},
      {"ipc_run --strict -- sh -c 'echo [oops; exit 3'", 3, "", stray + "[oops\n"},
      // With stdout and stderr the same file the child's order holds.
      {R"(sh -c "ipc_run -- printf '%s\n' 'msg_post 0 info m1' s1 'msg_post 0 info m2' s2 2>&1")",
       0, "INFO: m1\n" + stray + "s1\nINFO: m2\n" + stray + "s2\n"},
      {"ipc_run -- yes 'msg_post 0 info x' >/dev/full", 125, "",
       "ipc_run: cannot write messages: No space left on device\n"},
      {"ipc_run -- yes 'msg_post 0 info x' >&-", 125, "",
       "ipc_run: cannot write messages: Bad file descriptor\n"},
      {"ipc_run --qui -- echo stray", 0},
      {R"(ipc_run --debug -- printf '%s\n' 'Debug: looking at 3 files' stray ipc_send )"
       R"('msg_post 0 info {still here}' 'ipc_progress 1 2 {half way}' 'ipc_progress 1')",
       0, "INFO: still here\n",
       AllOf(HasSubstr("DEBUG IPC: Launching: printf"), HasSubstr("DEBUG CHILD: looking at 3"),
             HasSubstr("NOT posting tcl buffer = stray"), HasSubstr(stray + "stray\n"),
             HasSubstr("should be \"ipc_send TEXT\""), HasSubstr("DONE TOTAL ?TEXT?"),
             Not(HasSubstr(stray + "ipc_progress")), Not(HasSubstr("50%")))},
      // The child's standard error joins its output, in order.
      {R"(ipc_run --report -- sh -c "echo 'msg_post 0 E 7 {disk full}'; echo msg_post 0 I x >&2")",
       0, "report: ERROR 7: disk full\nreport: INFO: x\nreport: 2 messages\n"},
      {"ipc_run --plain --suppress 112000 -- echo hidden", 0},
      {"ipc_run --color -- echo 'msg_post 0 E 3 {x}'", 0, "\033[1;31mERROR 3:\033[0m x\n"},
      {R"(script -qec "env -u NO_COLOR TERM=xterm ipc_run -- sh -c 'echo ipc_progress 1 2 )"
       R"({half way}; echo msg_post 0 info done'" /dev/null)",
       0,
       "\r\033[Kipc_run: [##########          ]  50% half way\r\033[K\033[1;36mINFO:\033[0m "
       "done\r\n"},
      // On a terminal a text's control characters are escaped; a zero byte shows as \0.
      {R"(script -qec "ipc_run --color=never -- printf '%s\n' 'msg_post 0 info a\x1b\000b'" )"
       R"(/dev/null)",
       0, "INFO: a\\x1B\\0b\r\n"},
      {"ipc_run --plain --no-stderr -- sh -c 'echo out; echo err >&2'", 0,
       "INFO 112000: out\n" + plain_end, "err\n"},
      // Words reach the child exactly, through the word splitter and through sh -c alike.
      {R"(ipc_run --plain -- echo 'a"b' '$HOME' 'c\d' '`x`' "it's" 'a  b')", 0, echoed},
      {R"(ipc_run --plain --shell -- echo 'a"b' '$HOME' 'c\d' '`x`' "it's" 'a  b')", 0, echoed},
      {"ipc_run --set ipc_use_system=on --summary -c 'echo sys; exit 4'", 4, "sys\n",
       "ipc_run: ok=1 status=1024 exit_code=4\n"},
      {R"(ipc_run -c "sh -c 'exit 7'")", 7},
      {"ipc_run -- sh -c 'kill -9 $$'", 137, "", "ipc_run: sh was killed by signal 9 (Killed)\n"},
      {"ipc_run --set=ipc_use_system=1 -c 'kill -TERM $$'", 143, "", HasSubstr("signal 15")},
      {"ipc_run -- /no/such/program x", 127,
       "ERROR: Cannot start program \"/no/such/program\": No such file or directory\n"},
      {"ipc_run -- " + SOURCE + "/README.md", 126, HasSubstr("Permission denied")},
      {"ipc_run --shell -- no_such_program_here", 127, "",
       AllOf(HasSubstr(stray), HasSubstr("no_such_program_here: not found"))},
      {"ipc_run --timeout 0.3 -- sleep 30", 124, "",
       "ipc_run: sleep stopped after the --timeout of 0.3 seconds\n"},
      // A read of slow lines is cut between its lines (137: it was not, in 5 s).
      {"timeout -s KILL 5 ipc_run --timeout 0.3 -- yes 'for {set i 0} {$i < 30000} {incr i} {}'",
       124, "", HasSubstr("yes stopped after the --timeout")},
      {"ipc_run --cwd /no/such/dir -- pwd", 125, HasSubstr("Cannot use \"/no/such/dir\" as the")},
      {"ipc_run --report --summary --named-pipe -- true x", 125,
       "report: ERROR 112002: Failed to open pipe\nreport: 1 message\n", HasSubstr("ok=0")},
      {"ipc_run --eval no_such_command -- true", 125, "",
       "ipc_run: --eval: invalid command name \"no_such_command\"\n"},
      {R"(ipc_run --pla --summ "-qcprintf 'x\n'")", 0, "INFO 112000: x\n" + plain_end,
       "ipc_run: ok=1 status=0 exit_code=0\n"},
      {R"(ipc_run --plain --cwd=/ --env "IPC_T=a 'b'" --option env=IPC_U=u -- sh -c )"
       R"('pwd; echo "$IPC_T" $IPC_U')",
       0, "INFO 112000: /\nINFO 112000: a 'b' u\n" + plain_end},
      {"ipc_run -- echo exec true", 0, "", stray + "exec true\n"},
      {"ipc_run --trust -- echo exec true", 0},
      {"ipc_run --set tcl_trusted=1 -- echo puts trusted", 0, "trusted\n"},
      {"ipc_run --trusted --eval 'proc msg_post args {puts mine}' -- echo 'msg_post 0 info x'", 0,
       "mine\n"},
      {"ipc_run --eval 'proc note {} {puts noted}' --expose note -- echo note", 0, "noted\n"},
      // Each line must leave the host as it was for the lines after it; made would stay here.
      {R"(ipc_run --set tcl_time_limit=300 -- sh -c 'printf "%s\n" "$@"; exit 3' sh 'exit 7' )"
       R"('exec touch made' 'open made w' 'msg_post 0 info [exec touch made]' 'vwait forever' )"
       R"('while 1 {}' 'rename msg_post {}' 'proc msg_post args {}' 'msg_post 0 info {after}')",
       3, "INFO: after\n", Not(HasSubstr(stray + "msg_post"))},
      {"ipc_run --named-pipe --eval 'after 300 {ipc_send hello}' -- pipe_backend.tcl --count=1", 0,
       "INFO: pipe_backend: listening on its named pipe\nINFO: pipe_backend received: hello\n"},
      {"ipc_run --debug -- tclsh8.6 " + SOURCE + "/tests/children/package_child.tcl " + SOURCE +
           "/backend/tcl",
       0,
       "ERROR 5: unbalanced { and $dollar [bracket]\nsecond line\\\nWARNING: no id\nINTERNAL "
       "ERROR: state \"broken\"\nas it is\nINFO: pipe=/tmp/p\nINFO: caught: wrong # args: should "
       "be \"ipc_backend::post severity ?id? text\"\n",
       HasSubstr("DEBUG CHILD: debug words\\x1B[2J\n")},
      {"ipc_run --pool 3:5 --helper 'pool_helper --work_ms=30 --result_dir=" + pool +
           "' -- pool_coordinator.tcl --partitions=5 --result_dir=" + pool,
       0,
       AllOf(HasSubstr(": partition 4 done\n"), HasSubstr("INFO: total 124750 over 5 partitions"))},
      {R"(ipc_run --pool 1:4 --helper "fake_helper 'printf \"Helper 9 is done\" >&4; sleep 30'" )"
       R"(-- backend)",
       134, _, HasSubstr("INTERNAL ERROR: process_id == i")},
      {R"(ipc_run --pool 2:4 --helper "fake_helper 'sleep 0.5; kill -SEGV \$\$'" -- backend)", 125,
       AllOf(HasSubstr("started"),
             ContainsRegex("ERROR: helper [01]: pid [0-9]+ was killed by signal 11")),
       _},
      // Whichever way ipc_run ends, the child and its group end with it.
      {"ipc_run -- sh -c '" + GRANDCHILD + "'", 0, "INFO: started\n"},
      {"ipc_run --plain -- cat", 0, plain_end},
      {"printf 'one\\ntwo\\n' | ipc_run --plain --stdin -- cat", 0,
       "INFO 112000: one\nINFO 112000: two\n" + plain_end},
      {piped, 130, _, "", SIGINT},
      {piped, AnyOf(129, 130), _, "", SIGHUP | SIGINT << 8},  // each may reach its own thread
      {piped, 1, _, "", SIGTERM},
      // SIGTERM is answered while ipc_run is blocked writing to a reader that never reads.
      {R"(sh -c 'mkfifo out && exec 3<>out && { ipc_run -- yes "msg_post 0 info x" >out & )"
       R"(sleep 1; kill -TERM $!; wait $!; echo status=$?; rm out; }')",
       0, "status=1\n"},
      {piped, 128 + SIGKILL, _, "", SIGKILL},  // the keeper ends the grandchild then
      {"ipc_run --set ipc_use_system=1 --named-pipe -c 'backend x'", 1, _, "", SIGTERM},
      {"ipc_run --set ipc_use_system=1 -c backend", 130, _, "", SIGINT},
      {"ipc_run -- sh -c '" + GRANDCHILD + "exec yes \"msg_post 0 info {x}\"'", 141, _, "",
       CLOSE_OUTPUT},
      // A broadcast to a child that never reads fails after the write bound; the run goes on.
      {"ipc_run --named-pipe --timeout 3 --set thr_named_pipe_write_timeout=300 --eval 'after 200 "
       "{puts sent=[ipc_send [string repeat x 1048576]]; flush stdout}' -- backend x",
       124, HasSubstr("sent=0\n"), HasSubstr("--timeout of 3 seconds")},
      {"ipc_run --set no_such_key=1 true", 2, "",
       HasSubstr("unknown key \"no_such_key\"; known keys: ipc_use_system, ipc_buffer_size")},
      {"ipc_run --version", 0, "ipc_run 1.0.0\n"},
      // A descriptor that cannot be had fails the start, naming the limit.
      {"prlimit --nofile=8 ipc_run -- true", 125,
       HasSubstr("(too many open descriptors: ulimit -n is 8)\n")},
  };
  for (const char* mistake :
       {"", "--bogus true", "--title", "--set novalue true", "--suppress x true",
        "--pool 3 --helper h true", "--pool 3:5 true", "--helper h true", "-c true extra",
        "--plain=1 true", "--named-pipe true", "--s true", "--set ipc_buffer_size=0 true",
        "--timeout 5x true", "--env =x true", "--color=sometimes true",
        "--set=ipc_use_system=1 --cwd=/ true", "--set=ipc_use_system=1 --timeout=1 true",
        "--report --plain true"})
    rows.push_back({std::string("ipc_run ") + mistake, 2, "",
                    AllOf(HasSubstr("ipc_run: "), HasSubstr("usage: ipc_run [OPTIONS]"))});

  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i)  // most rows wait for their child, not for a processor
    workers.emplace_back([&] {
      for (size_t row; (row = next++) < rows.size();) run_row(rows[row], row);
    });
  for (std::thread& worker : workers) worker.join();
  fs::remove_all(SCRATCH);
}

std::set<std::string> matches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  const std::regex expression(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
       it != std::sregex_iterator(); ++it)
    found.insert((*it)[1]);
  return found;
}

// The man page documents the options, exit statuses and --set keys that --help does, and
// README's table the same settings.
TEST(IpcRun, ManPageDocumentsWhatHelpDoes) {
  const std::string help = run_row({"ipc_run --help", 0, HasSubstr("usage: ipc_run")}, 0);
  const std::string page = std::regex_replace(read_file(SOURCE + "/tools/ipc_run/ipc_run.1"),
                                              std::regex(R"(\\f[BIR]|\\)"), "");
  const std::string options = R"(\n  (?:-\w, |    )--([a-z-]+))",
                    keys = R"(\b((?:ipc|thr|tcl)_[a-z_]+)=)";
  EXPECT_GT(matches(help, options).size(), 20u);
  EXPECT_EQ(matches(page, R"(\.TP\n(?:-\w, )?--([a-z-]+))"), matches(help, options));
  EXPECT_EQ(matches(page.substr(page.find(".SH EXIT STATUS")), R"(\.TP\n(\S+)\n)"),
            matches(help.substr(help.find("Exit status:")), R"(\n  (\S+) )"));
  EXPECT_EQ(matches(page, keys), matches(help, keys));
  EXPECT_EQ(matches(read_file(SOURCE + "/README.md"), R"(\n\| `((?:ipc|thr|tcl)_[a-z_]+)` \|)"),
            matches(help, keys))
      << "README's settings table";
  fs::remove_all(SCRATCH);
}

}  // namespace
