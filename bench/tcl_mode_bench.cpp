// Tcl mode on message lines: process_line against a bare loop over the Tcl C API that only
// checks completeness and evaluates the same lines, in the same interpreter.
#include <benchmark/benchmark.h>
#include <tcl.h>

#include <string>
#include <vector>

#include "bench/parse_ratio_report.h"
#include "host/cfg.h"
#include "host/host.h"
#include "host/msg.h"
#include "host/ztcl.h"
#include "ipc/ipc_command_impl.h"

namespace {

constexpr int LINE_COUNT = 1000;

std::vector<std::string> message_lines() {
  std::vector<std::string> lines;
  for (int i = 0; i < LINE_COUNT; ++i)
    lines.push_back(std::string(msg_tcl_post_cmd) + " 0 info {backend step " + std::to_string(i) +
                    " finished}");
  return lines;
}

std::string as_output(const std::vector<std::string>& lines) {
  std::string bytes;
  for (const std::string& line : lines) bytes += line + '\n';
  return bytes;
}

class DISCARDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override { benchmark::DoNotOptimize(record.text.data()); }
};

int count_post(ClientData data, Tcl_Interp*, int, Tcl_Obj* const[]) {
  ++*static_cast<long*>(data);
  return TCL_OK;
}

// Arg 0 evaluates the lines with a message command that only counts, arg 1 with the host's own
// one, which posts to a discarding sink.
class MESSAGE_COMMAND {
 public:
  explicit MESSAGE_COMMAND(bool counting) : m_counting(counting) {
    msg_set_default_sink(&m_sink);
    if (!m_counting) return;
    eval(std::string("rename ") + msg_tcl_post_cmd + " saved_post_cmd");
    Tcl_CreateObjCommand(ztcl_get_interpreter(), msg_tcl_post_cmd, count_post, &m_posts, nullptr);
  }
  ~MESSAGE_COMMAND() {
    if (m_counting) {
      Tcl_DeleteCommand(ztcl_get_interpreter(), msg_tcl_post_cmd);
      eval(std::string("rename saved_post_cmd ") + msg_tcl_post_cmd);
    }
    msg_set_default_sink(nullptr);
  }
  MESSAGE_COMMAND(const MESSAGE_COMMAND&) = delete;
  MESSAGE_COMMAND& operator=(const MESSAGE_COMMAND&) = delete;

 private:
  static void eval(const std::string& script) {
    Tcl_EvalEx(ztcl_get_interpreter(), script.c_str(), -1, TCL_EVAL_GLOBAL);
  }
  bool m_counting;
  long m_posts = 0;
  DISCARDING_SINK m_sink;
};

class SIZED_COMMAND : public IPC_COMMAND {
 public:
  explicit SIZED_COMMAND(size_t chunk_size) {
    m_impl->m_buffer_size = chunk_size;
    m_impl->initialise_buffers();
  }
};

void BM_baseline_tcl_api(benchmark::State& state) {
  MESSAGE_COMMAND message_command(state.range(0) == 0);
  const std::vector<std::string> lines = message_lines();
  Tcl_Interp* interpreter = ztcl_get_interpreter();
  for (auto _ : state) {
    for (const std::string& line : lines) {
      if (Tcl_CommandComplete(line.c_str()) == 1)
        Tcl_EvalEx(interpreter, line.c_str(), static_cast<int>(line.size()), TCL_EVAL_GLOBAL);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
}

void BM_process_line(benchmark::State& state) {
  MESSAGE_COMMAND message_command(state.range(0) == 0);
  const std::vector<std::string> lines = message_lines();
  IPC_COMMAND command;
  command.process_line(lines.front());  // the first word's verdict is cached from here on
  for (auto _ : state) {
    for (const std::string& line : lines) command.process_line(line);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
}

// The whole path from pipe-sized chunks, splitting and processor-time accounting included.
void BM_parse_output_tcl(benchmark::State& state) {
  MESSAGE_COMMAND message_command(state.range(0) == 0);
  const std::vector<std::string> lines = message_lines();
  std::string bytes = as_output(lines);
  SIZED_COMMAND command(1024);
  command.process_line(lines.front());
  for (auto _ : state) {
    for (size_t offset = 0; offset < bytes.size(); offset += 1024)
      command.parse_output(
          gsl::span<char>(bytes.data() + offset, std::min<size_t>(1024, bytes.size() - offset)));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
}

// One braced message over N lines: gathering is linear when the time per line stays the same.
void BM_gather_braced(benchmark::State& state) {
  MESSAGE_COMMAND message_command(false);
  const auto inner_lines = static_cast<size_t>(state.range(0));
  const std::string first = std::string(msg_tcl_post_cmd) + " 0 info {start";
  IPC_COMMAND command;
  for (auto _ : state) {
    command.process_line(first);
    for (size_t i = 0; i < inner_lines; ++i) command.process_line("ab");
    command.process_line("end}");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (inner_lines + 2)));
}

BENCHMARK(BM_baseline_tcl_api)->Arg(0)->Arg(1);
BENCHMARK(BM_gather_braced)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_process_line)->Arg(0)->Arg(1);
BENCHMARK(BM_parse_output_tcl)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // These benchmarks measure the library against its own interpreter, as trusted hosts run it.
  cfg_set_value("tcl_trusted", "1");
  host_start(argv[0]);
  RATIO_REPORTER reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::vector<BENCH_RATIO> ratios;
  for (const char* arg : {"/0", "/1"}) {
    ratios.push_back({std::string("BM_process_line") + arg,
                      std::string("BM_baseline_tcl_api") + arg, "items_per_second", 0.8});
    ratios.push_back({std::string("BM_parse_output_tcl") + arg,
                      std::string("BM_baseline_tcl_api") + arg, "items_per_second", 0.8});
  }
  reporter.print_ratios(ratios);
  std::printf("process_line: %.0f lines/s with a counting message command, %.0f with the host's\n",
              reporter.rate("BM_process_line/0", "items_per_second"),
              reporter.rate("BM_process_line/1", "items_per_second"));
  const double per_line_100k = 1e9 / reporter.rate("BM_gather_braced/100000", "items_per_second");
  const double per_line_200k = 1e9 / reporter.rate("BM_gather_braced/200000", "items_per_second");
  std::printf(
      "one braced message: %.0f ns per line over 100,000 lines, %.0f over 200,000 (%.2fx; "
      "linear: about 1, quadratic: 2)\n",
      per_line_100k, per_line_200k, per_line_200k / per_line_100k);
  benchmark::Shutdown();
  host_stop();
  return 0;
}
