// Whole runs with real children, each against a baseline measured in the same run:
//  - relay: a child writing Tcl message lines, relayed by the library, against cat taking the
//    same bytes to /dev/null through a pipe (the machine's limit) and against tclsh reading the
//    same child with open |, gets, info complete and eval into the same counting proc; the
//    library also without the GUI pump after each read, and into the host's message command;
//  - run cost: a child that exits at once, beyond the 500 ms the library grants an ended pipe,
//    against a bare posix_spawn and waitpid of the same program;
//  - silence: processor time of the host while a child stays silent, against a bare loop of the
//    same 1 ms sleeps.
//
// Sizes: --lines=N (default 1000000), --runs=N (default 21), --silence_ms=N (default 10000).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tcl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/parse_ratio_report.h"
#include "host/cfg.h"
#include "host/host.h"
#include "host/msg.h"
#include "host/thr_process.h"
#include "host/ztcl.h"
#include "ipc/ipc_command.h"

extern char** environ;

namespace {

long line_count = 1000000;
int run_count = 21;
int silence_ms = 10000;

constexpr double GRACE_SECONDS = 0.5;

using CLOCK = std::chrono::steady_clock;

double seconds_since(CLOCK::time_point start) {
  return std::chrono::duration<double>(CLOCK::now() - start).count();
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string child(const std::string& name) { return std::string(IPC_CHILDREN_DIR) + "/" + name; }

std::vector<std::string> writer_argv() {
  return {child("write_lines"), std::to_string(line_count), "--tcl"};
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// Starts argv with standard input and output taken from the given descriptors (-1: inherited).
pid_t spawn(const std::vector<std::string>& argv, int in_fd, int out_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, in_fd, STDIN_FILENO);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool exited_cleanly(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// ---- Relay -------------------------------------------------------------------------------

// The counting command the child's lines call, defined alike here and in tclsh.
constexpr const char* COUNTING_PROC = "proc msg_post {report severity text} { incr ::posts }";

// Notes when the last expected line was handed over.
class RELAY_TIMER : public IPC_COMMAND {
 public:
  void process_line(const std::string& line) override {
    IPC_COMMAND::process_line(line);
    if (++lines == line_count) last_line = CLOCK::now();
  }
  long lines = 0;
  CLOCK::time_point last_line;
};

class COUNTING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override {
    if (record.kind == MSG_KIND::INFO) ++count;
  }
  long count = 0;
};

enum class RELAY { SAME_PROC, SAME_PROC_NO_GUI_UPDATE, HOST_COMMAND };

// The lines call the same counting proc as in tclsh (with the GUI pumped after each read, as by
// default, or not), or the host's own message command, which posts to a counting sink.
void BM_relay_library(benchmark::State& state, RELAY relay) {
  const bool host_command = relay == RELAY::HOST_COMMAND;
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  for (auto _ : state) {
    COUNTING_SINK sink;
    msg_set_default_sink(&sink);
    if (!host_command) {
      Tcl_Eval(interpreter, "rename msg_post host_msg_post");
      Tcl_Eval(interpreter, COUNTING_PROC);
      Tcl_Eval(interpreter, "set ::posts 0");
    }
    RELAY_TIMER command;
    if (relay == RELAY::SAME_PROC_NO_GUI_UPDATE) command.disable_gui_update();
    THR_PROCESS_EXIT_CODE code{0, 0};
    const CLOCK::time_point start = CLOCK::now();
    const bool ok = command.run(joined(writer_argv()), "", false, &code, "", false);
    const double whole_run = seconds_since(start);
    long posts = sink.count;
    if (!host_command) {
      Tcl_Eval(interpreter, "set ::posts");
      posts = std::atol(Tcl_GetStringResult(interpreter));
      Tcl_Eval(interpreter, "rename msg_post {}; rename host_msg_post msg_post");
    }
    msg_set_default_sink(nullptr);
    if (!ok || code.exit_code != 0 || command.lines < line_count || posts != line_count) {
      state.SkipWithError("the library did not relay every line");
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(command.last_line - start).count());
    state.counters["whole_run_s"] = whole_run;
  }
  state.SetItemsProcessed(state.iterations() * line_count);
}

void BM_relay_cat(benchmark::State& state) {
  for (auto _ : state) {
    int ends[2];
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0 || pipe2(ends, O_CLOEXEC) != 0) {
      state.SkipWithError("no pipe");
      return;
    }
    const CLOCK::time_point start = CLOCK::now();
    const pid_t writer = spawn(writer_argv(), -1, ends[1]);
    const pid_t cat = spawn({"cat"}, ends[0], null_fd);
    close(ends[0]);
    close(ends[1]);
    close(null_fd);
    const bool ok = exited_cleanly(writer) && exited_cleanly(cat);
    state.SetIterationTime(seconds_since(start));
    if (!ok) {
      state.SkipWithError("cat or the writer failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * line_count);
}

std::string tclsh_script() {
  std::string script;
  script += std::string(COUNTING_PROC) + "\n";
  script += "set ::posts 0\n";
  script += "set f [open {|" + joined(writer_argv()) + "} r]\n";
  script += "set buffer {}\n";
  script += "while {[gets $f line] >= 0} {\n";
  script += "  append buffer $line\n";
  script += "  if {[info complete $buffer]} { eval $buffer; set buffer {} } else {\n";
  script += "    append buffer \\n\n";
  script += "  }\n";
  script += "}\n";
  script += "close $f\n";
  script += "puts $::posts\n";
  return script;
}

void BM_relay_tclsh(benchmark::State& state) {
  char path[] = "/tmp/run_bench_XXXXXX.tcl";
  const int script_fd = mkstemps(path, 4);
  if (script_fd < 0) {
    state.SkipWithError("no script file");
    return;
  }
  const std::string script = tclsh_script();
  const bool written =
      write(script_fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
  close(script_fd);
  for (auto _ : state) {
    int ends[2];
    if (!written || pipe2(ends, O_CLOEXEC) != 0) {
      state.SkipWithError("no script or pipe");
      break;
    }
    const CLOCK::time_point start = CLOCK::now();
    const pid_t tclsh = spawn({"tclsh8.6", path}, -1, ends[1]);
    close(ends[1]);
    const bool ok = exited_cleanly(tclsh);
    state.SetIterationTime(seconds_since(start));
    char answer[64] = {};
    const ssize_t size = read(ends[0], answer, sizeof answer - 1);
    close(ends[0]);
    if (!ok || size <= 0 || std::atol(answer) != line_count) {
      state.SkipWithError("tclsh did not count every line");
      break;
    }
  }
  unlink(path);
  state.SetItemsProcessed(state.iterations() * line_count);
}

// ---- Run cost ----------------------------------------------------------------------------

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void BM_run_cost(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<double> runs;
    std::vector<double> spawns;
    for (int i = 0; i < run_count; ++i) {
      CLOCK::time_point start = CLOCK::now();
      const bool spawned = exited_cleanly(spawn({child("exit_with"), "0"}, -1, -1));
      spawns.push_back(seconds_since(start));

      IPC_COMMAND command;
      THR_PROCESS_EXIT_CODE code{0, 0};
      start = CLOCK::now();
      const bool ran = command.run(child("exit_with") + " 0", "", false, &code, "", false);
      runs.push_back(seconds_since(start));
      if (!spawned || !ran || code.exit_code != 0) {
        state.SkipWithError("a run failed");
        return;
      }
    }
    const double beyond_grace = median(runs) - GRACE_SECONDS;
    state.SetIterationTime(beyond_grace);
    state.counters["beyond_grace_ms"] = 1e3 * beyond_grace;
    state.counters["bare_spawn_wait_ms"] = 1e3 * median(spawns);
    state.counters["runs"] = run_count;
  }
}

// ---- Silence -----------------------------------------------------------------------------

// Counts the monitoring passes: the loop asks is_stopped once per pass.
class PASS_COUNTER : public IPC_COMMAND {
 public:
  bool is_stopped() override {
    ++passes;
    return false;
  }
  long passes = 0;
};

void BM_silence_library(benchmark::State& state) {
  for (auto _ : state) {
    PASS_COUNTER command;
    THR_PROCESS_EXIT_CODE code{0, 0};
    const double cpu_before = cpu_seconds();
    const CLOCK::time_point start = CLOCK::now();
    const bool ran = command.run(child("exit_with") + " 0 " + std::to_string(silence_ms), "", false,
                                 &code, "", false);
    const double wall = seconds_since(start);
    const double cpu = cpu_seconds() - cpu_before;
    if (!ran || code.exit_code != 0) {
      state.SkipWithError("the run failed");
      return;
    }
    state.SetIterationTime(cpu);
    state.counters["cpu_ms"] = 1e3 * cpu;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["passes"] = static_cast<double>(command.passes);
    state.counters["cpu_us_per_pass"] = 1e6 * cpu / static_cast<double>(command.passes);
    state.counters["silence_s"] = silence_ms / 1e3;
  }
}

void BM_silence_bare_sleeps(benchmark::State& state) {
  for (auto _ : state) {
    const double cpu_before = cpu_seconds();
    const CLOCK::time_point start = CLOCK::now();
    long passes = 0;
    while (seconds_since(start) < silence_ms / 1e3) {
      thr_msleep(1);
      ++passes;
    }
    const double cpu = cpu_seconds() - cpu_before;
    state.SetIterationTime(cpu);
    state.counters["cpu_ms"] = 1e3 * cpu;
    state.counters["cpu_percent"] = 100.0 * cpu / seconds_since(start);
    state.counters["passes"] = static_cast<double>(passes);
    state.counters["cpu_us_per_pass"] = 1e6 * cpu / static_cast<double>(passes);
  }
}

void register_benchmarks() {
  std::vector<benchmark::internal::Benchmark*> registered{
      benchmark::RegisterBenchmark("BM_relay/library", BM_relay_library, RELAY::SAME_PROC),
      benchmark::RegisterBenchmark("BM_relay/library_no_gui_update", BM_relay_library,
                                   RELAY::SAME_PROC_NO_GUI_UPDATE),
      benchmark::RegisterBenchmark("BM_relay/library_host_msg_post", BM_relay_library,
                                   RELAY::HOST_COMMAND),
      benchmark::RegisterBenchmark("BM_relay/cat", BM_relay_cat),
      benchmark::RegisterBenchmark("BM_relay/tclsh", BM_relay_tclsh),
      benchmark::RegisterBenchmark("BM_run_cost", BM_run_cost),
      benchmark::RegisterBenchmark("BM_silence/library", BM_silence_library),
      benchmark::RegisterBenchmark("BM_silence/bare_sleeps", BM_silence_bare_sleeps)};
  for (benchmark::internal::Benchmark* bench : registered)
    bench->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// Takes this benchmark's own --name=N options out of argv.
void parse_sizes(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const std::string argument = argv[i];
    auto value = [&](const char* name) -> const char* {
      const size_t length = std::strlen(name);
      return argument.compare(0, length, name) == 0 ? argv[i] + length : nullptr;
    };
    if (const char* lines = value("--lines="))
      line_count = std::max(1L, std::atol(lines));
    else if (const char* runs = value("--runs="))
      run_count = std::max(1, std::atoi(runs));
    else if (const char* silence = value("--silence_ms="))
      silence_ms = std::max(0, std::atoi(silence));
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
}

// How the reporter names a benchmark registered here.
std::string full_name(const std::string& name) { return name + "/iterations:1/manual_time"; }

double counter(const RATIO_REPORTER& reporter, const std::string& name, const std::string& key) {
  return reporter.rate(full_name(name), key);
}

}  // namespace

int main(int argc, char** argv) {
  parse_sizes(&argc, argv);
  benchmark::Initialize(&argc, argv);
  // These benchmarks measure the library against its own interpreter, as trusted hosts run it.
  cfg_set_value("tcl_trusted", "1");
  host_start(argv[0]);
  register_benchmarks();
  RATIO_REPORTER reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nrelay of %ld Tcl message lines:\n", line_count);
  for (const char* who :
       {"library", "library_no_gui_update", "library_host_msg_post", "cat", "tclsh"})
    std::printf("  %-22s %12.0f lines/s\n", who,
                counter(reporter, std::string("BM_relay/") + who, "items_per_second"));
  const double library = counter(reporter, "BM_relay/library", "items_per_second");
  const double cat = counter(reporter, "BM_relay/cat", "items_per_second");
  if (library > 0 && cat > 0) std::printf("  library at %.1f%% of cat\n", 100.0 * library / cat);
  reporter.print_ratios(
      {{full_name("BM_relay/library"), full_name("BM_relay/tclsh"), "items_per_second", 3.0},
       {full_name("BM_relay/library_no_gui_update"), full_name("BM_relay/tclsh"),
        "items_per_second", 3.0},
       {full_name("BM_relay/library_host_msg_post"), full_name("BM_relay/tclsh"),
        "items_per_second", 3.0}});

  const double beyond = counter(reporter, "BM_run_cost", "beyond_grace_ms");
  if (beyond >= 0)
    std::printf(
        "\nrun of a child that exits at once, median of %d: %.2f ms beyond the %.0f ms "
        "grace (target 20 ms: %s); bare posix_spawn + waitpid: %.2f ms\n",
        run_count, beyond, 1e3 * GRACE_SECONDS, beyond <= 20.0 ? "met" : "MISSED",
        counter(reporter, "BM_run_cost", "bare_spawn_wait_ms"));

  const double library_cpu = counter(reporter, "BM_silence/library", "cpu_ms");
  const double bare_cpu = counter(reporter, "BM_silence/bare_sleeps", "cpu_ms");
  if (library_cpu >= 0 && bare_cpu > 0)
    std::printf(
        "\nsilent child for %.1f s: host processor time %.1f ms (%.2f%% of one core, "
        "%.0f passes); bare 1 ms sleeps for as long: %.1f ms; ratio %.2f\n",
        silence_ms / 1e3, library_cpu, counter(reporter, "BM_silence/library", "cpu_percent"),
        counter(reporter, "BM_silence/library", "passes"), bare_cpu, library_cpu / bare_cpu);
  benchmark::Shutdown();
  host_stop();
  return 0;
}
