// A console reporter that also keeps each run's rate (bytes or items per second, by benchmark
// name), so that a benchmark program can print the ratio of two figures measured in one run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto bytes = run.counters.find("bytes_per_second");
      const auto items = run.counters.find("items_per_second");
      if (bytes != run.counters.end()) rates[run.benchmark_name()] = bytes->second;
      if (items != run.counters.end()) rates[run.benchmark_name()] = items->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};
