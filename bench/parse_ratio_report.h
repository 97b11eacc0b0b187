// Prints, after the usual console table, each measured benchmark's rate as a share of its
// baseline's rate from the same run (the median when repetitions were asked for).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct BENCH_RATIO {
  std::string measured;
  std::string baseline;
  std::string counter;  // "bytes_per_second" or "items_per_second"
  double target;        // the share the measured one must reach, e.g. 0.8
};

class RATIO_REPORTER : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) m_runs[run.benchmark_name()] = run.counters;
  }

  // The counter of a benchmark, its median when there is one; negative when it did not run.
  double rate(const std::string& name, const std::string& counter) const {
    for (const std::string& key : {name + "_median", name}) {
      auto run = m_runs.find(key);
      if (run == m_runs.end()) continue;
      auto value = run->second.find(counter);
      if (value != run->second.end()) return value->second.value;
    }
    return -1.0;
  }

  // Prints one line per ratio; false when any measured pair missed its target.
  bool print_ratios(const std::vector<BENCH_RATIO>& ratios) const {
    bool all_met = true;
    std::printf("\n%-44s %-36s %8s %7s\n", "measured", "baseline", "ratio", "target");
    for (const BENCH_RATIO& ratio : ratios) {
      const double measured = rate(ratio.measured, ratio.counter);
      const double baseline = rate(ratio.baseline, ratio.counter);
      if (measured < 0 || baseline <= 0) continue;
      const double share = measured / baseline;
      const bool met = share >= ratio.target;
      all_met = all_met && met;
      std::printf("%-44s %-36s %7.1f%% %6.0f%% %s\n", ratio.measured.c_str(),
                  ratio.baseline.c_str(), 100.0 * share, 100.0 * ratio.target,
                  met ? "met" : "MISSED");
    }
    return all_met;
  }

 private:
  std::map<std::string, benchmark::UserCounters> m_runs;
};
