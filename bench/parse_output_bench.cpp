// Line splitting: parse_output with a process_line that does nothing against a bare loop that
// splits the same chunks at newlines into a std::string; plain-mode lines into a discarding
// sink; and the heap cost of one 10 MB line without a newline.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bench/parse_ratio_report.h"
#include "host/cfg.h"
#include "host/host.h"
#include "host/msg.h"
#include "ipc/ipc_command_impl.h"
#include "ipc/ipc_internal.h"

// Live and peak heap bytes handed out through operator new, for the memory figures.
namespace {
std::atomic<long> live_bytes{0};
std::atomic<long> peak_bytes{0};

void* counted_allocation(size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  const long now = live_bytes += static_cast<long>(malloc_usable_size(memory));
  long peak = peak_bytes.load();
  while (now > peak && !peak_bytes.compare_exchange_weak(peak, now)) {
  }
  return memory;
}

void counted_release(void* memory) {
  if (memory == nullptr) return;
  live_bytes -= static_cast<long>(malloc_usable_size(memory));
  std::free(memory);
}
}  // namespace

void* operator new(size_t size) { return counted_allocation(size); }
void* operator new[](size_t size) { return counted_allocation(size); }
void operator delete(void* memory) noexcept { counted_release(memory); }
void operator delete[](void* memory) noexcept { counted_release(memory); }
void operator delete(void* memory, size_t) noexcept { counted_release(memory); }
void operator delete[](void* memory, size_t) noexcept { counted_release(memory); }

namespace {

constexpr size_t INPUT_BYTES = 1 << 20;

// INPUT_BYTES of lines, each line_length bytes including its newline.
std::vector<char> make_lines(size_t line_length) {
  std::vector<char> bytes(INPUT_BYTES, 'a');
  for (size_t end = line_length - 1; end < bytes.size(); end += line_length) bytes[end] = '\n';
  return bytes;
}

// A command with its buffers sized as the monitoring loop would size them.
class SIZED_COMMAND : public IPC_COMMAND {
 public:
  explicit SIZED_COMMAND(size_t chunk_size) {
    m_impl->m_buffer_size = chunk_size;
    m_impl->initialise_buffers();
  }
  IMPL& impl() { return *m_impl; }
};

class COUNTING_COMMAND : public SIZED_COMMAND {
 public:
  using SIZED_COMMAND::SIZED_COMMAND;
  void process_line(const std::string& line) override {
    benchmark::DoNotOptimize(line.data());
    ++lines;
  }
  size_t lines = 0;
};

// The same cut of the input into pipe-sized chunks that read_from_pipe would make.
template <typename CONSUME>
void for_each_chunk(std::vector<char>& bytes, size_t chunk_size, CONSUME consume) {
  for (size_t offset = 0; offset < bytes.size(); offset += chunk_size)
    consume(bytes.data() + offset, std::min(chunk_size, bytes.size() - offset));
}

void BM_baseline_split(benchmark::State& state) {
  const size_t line_length = static_cast<size_t>(state.range(0));
  const size_t chunk_size = static_cast<size_t>(state.range(1));
  std::vector<char> bytes = make_lines(line_length);
  std::string line;
  line.reserve(2 * chunk_size);
  size_t lines = 0;
  for (auto _ : state) {
    for_each_chunk(bytes, chunk_size, [&](const char* rest, size_t size) {
      const char* const end = rest + size;
      while (rest != end) {
        const auto* newline = static_cast<const char*>(std::memchr(rest, '\n', end - rest));
        if (newline == nullptr) {
          line.append(rest, end);
          break;
        }
        line.append(rest, newline);
        benchmark::DoNotOptimize(line.data());
        ++lines;
        line.clear();
        rest = newline + 1;
      }
    });
  }
  benchmark::DoNotOptimize(lines);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_parse_output(benchmark::State& state) {
  const size_t line_length = static_cast<size_t>(state.range(0));
  const size_t chunk_size = static_cast<size_t>(state.range(1));
  std::vector<char> bytes = make_lines(line_length);
  COUNTING_COMMAND command(chunk_size);
  for (auto _ : state) {
    for_each_chunk(bytes, chunk_size, [&](char* chunk, size_t size) {
      command.parse_output(gsl::span<char>(chunk, size));
    });
  }
  benchmark::DoNotOptimize(command.lines);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// parse_output reads the process's processor time twice per chunk; this is what that costs.
void BM_cpu_clock_pair(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ipc_get_cpu_seconds_used());
    benchmark::DoNotOptimize(ipc_get_cpu_seconds_used());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

class DISCARDING_SINK : public MSG_SINK {
 public:
  void deliver(const MSG_RECORD& record) override { benchmark::DoNotOptimize(record.text.data()); }
};

void BM_plain_mode_lines(benchmark::State& state) {
  DISCARDING_SINK sink;
  msg_set_default_sink(&sink);
  std::vector<char> bytes = make_lines(64);
  SIZED_COMMAND command(1024);
  command.disable_tcl_mode();
  for (auto _ : state) {
    for_each_chunk(bytes, 1024, [&](char* chunk, size_t size) {
      command.parse_output(gsl::span<char>(chunk, size));
    });
  }
  msg_set_default_sink(nullptr);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (bytes.size() / 64)));
}

// A 10 MB line that never sees a newline until the end of output, in Tcl mode; arg 0: an
// unclosed brace in front (dropped at the limit), arg 1: one long word (rejected as stray text).

void BM_memory_10mb_line(benchmark::State& state) {
  const bool unclosed_brace = state.range(0) == 0;
  std::vector<char> line(10 * 1000 * 1000, 'x');
  if (unclosed_brace) line[0] = '{';
  for (auto _ : state) {
    const long before = live_bytes.load();
    long scan_capacity = 0;
    long retained = 0;
    {
      SIZED_COMMAND command(1024);
      peak_bytes = live_bytes.load();
      for_each_chunk(line, 1024, [&](char* chunk, size_t size) {
        command.parse_output(gsl::span<char>(chunk, size));
      });
      scan_capacity = static_cast<long>(command.impl().m_scan_buffer.capacity());
      command.impl().append_maybe_flush_scan_buffer(command, gsl::span<char>(), true);
      retained = live_bytes.load() - before;
    }
    const double mb = 1000.0 * 1000.0;
    state.counters["peak_heap_MB"] = static_cast<double>(peak_bytes.load() - before) / mb;
    state.counters["scan_capacity_MB"] = static_cast<double>(scan_capacity) / mb;
    state.counters["retained_after_flush_MB"] = static_cast<double>(retained) / mb;
  }
}

BENCHMARK(BM_cpu_clock_pair);
BENCHMARK(BM_baseline_split)->ArgsProduct({{64, 4096}, {1024, 65536}});
BENCHMARK(BM_parse_output)->ArgsProduct({{64, 4096}, {1024, 65536}});
BENCHMARK(BM_plain_mode_lines);
BENCHMARK(BM_memory_10mb_line)->Arg(0)->Arg(1)->Iterations(1);

// The same ratios with the two processor-time reads per chunk taken out, to tell the cost of
// the splitting itself from the cost of the accounting that parse_output must do.
void print_net_of_clock(const RATIO_REPORTER& reporter) {
  const double clock_pair_seconds = 1.0 / reporter.rate("BM_cpu_clock_pair", "items_per_second");
  std::printf("\nnet of the clock reads (%.0f ns per chunk):\n", clock_pair_seconds * 1e9);
  for (int line_length : {64, 4096}) {
    for (int chunk_size : {1024, 65536}) {
      const std::string size = std::to_string(line_length) + "/" + std::to_string(chunk_size);
      const double measured = reporter.rate("BM_parse_output/" + size, "bytes_per_second");
      const double baseline = reporter.rate("BM_baseline_split/" + size, "bytes_per_second");
      if (measured <= 0 || baseline <= 0) continue;
      const double chunks = static_cast<double>((INPUT_BYTES + chunk_size - 1) / chunk_size);
      const double seconds = INPUT_BYTES / measured - chunks * clock_pair_seconds;
      std::printf("  %-12s %7.1f%%\n", size.c_str(), 100.0 * (INPUT_BYTES / seconds) / baseline);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // These benchmarks measure the library against its own interpreter, as trusted hosts run it.
  cfg_set_value("tcl_trusted", "1");
  host_start(argv[0]);
  RATIO_REPORTER reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::vector<BENCH_RATIO> ratios;
  for (const char* size : {"64/1024", "64/65536", "4096/1024", "4096/65536"})
    ratios.push_back({std::string("BM_parse_output/") + size,
                      std::string("BM_baseline_split/") + size, "bytes_per_second", 0.8});
  reporter.print_ratios(ratios);
  print_net_of_clock(reporter);
  std::printf("plain mode: %.0f lines/s (target 1000000)\n",
              reporter.rate("BM_plain_mode_lines", "items_per_second"));
  benchmark::Shutdown();
  host_stop();
  return 0;
}
