// The cost of one run beyond the grace the library gives an ended pipe: a child that exits at once
// (true), run by the library, against a bare posix_spawn and waitpid of the same program. The
// relay and idle costs are measured on the whole path by bench/whole_path.py (scripts/bench).
//
// Size: --runs=N (default 21).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

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
#include "ipc/ipc_command.h"

extern char** environ;

namespace {

int run_count = 21;

constexpr double GRACE_SECONDS = 0.5;
constexpr const char* QUICK_CHILD = "true";

using CLOCK = std::chrono::steady_clock;

double seconds_since(CLOCK::time_point start) {
  return std::chrono::duration<double>(CLOCK::now() - start).count();
}

bool spawn_and_wait(const char* program) {
  char* args[] = {const_cast<char*>(program), nullptr};
  pid_t pid = -1;
  int status = 0;
  return posix_spawnp(&pid, program, nullptr, nullptr, args, environ) == 0 &&
         waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
      const bool spawned = spawn_and_wait(QUICK_CHILD);
      spawns.push_back(seconds_since(start));

      IPC_COMMAND command;
      THR_PROCESS_EXIT_CODE code{0, 0};
      start = CLOCK::now();
      const bool ran = command.run(QUICK_CHILD, "", false, &code, "", false);
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

void register_benchmarks() {
  benchmark::RegisterBenchmark("BM_run_cost", BM_run_cost)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

// Takes this benchmark's own --runs=N option out of argv.
void parse_sizes(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp(argv[i], "--runs=", 7) == 0)
      run_count = std::max(1, std::atoi(argv[i] + 7));
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
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
  const std::string name = "BM_run_cost/iterations:1/manual_time";
  const double beyond = reporter.rate(name, "beyond_grace_ms");
  if (beyond >= 0)
    std::printf(
        "\nrun of a child that exits at once, median of %d: %.2f ms beyond the %.0f ms "
        "grace (target 20 ms: %s); bare posix_spawn + waitpid: %.2f ms\n",
        run_count, beyond, 1e3 * GRACE_SECONDS, beyond <= 20.0 ? "met" : "MISSED",
        reporter.rate(name, "bare_spawn_wait_ms"));
  benchmark::Shutdown();
  host_stop();
  return 0;
}
