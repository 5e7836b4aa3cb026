#include "bench/Measurement.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace quillmere::bench {

std::optional<double> median(std::vector<double> values) {
  if (values.empty()) {
    return std::nullopt;
  }
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::optional<double> medianDifference(const std::vector<double>& first,
                                       const std::vector<double>& second) {
  if (first.size() != second.size()) {
    return std::nullopt;
  }
  std::vector<double> differences;
  for (std::size_t index = 0; index < first.size(); ++index) {
    differences.push_back(first[index] - second[index]);
  }
  return median(std::move(differences));
}

std::optional<double> millisecondsOf(const std::function<bool()>& action) {
  const auto start = std::chrono::steady_clock::now();
  if (!action()) {
    return std::nullopt;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Colours only on a terminal, so that a saved run reads cleanly.
MedianReporter::MedianReporter()
    : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.aggregate_name != "median" || run.error_occurred) {
      continue;
    }
    const std::string name = run.run_name.function_name;
    times_[name] = run.GetAdjustedRealTime();
    for (const auto& [counterName, value] : run.counters) {
      counters_[{name, counterName}] = value.value;
    }
  }
  ConsoleReporter::ReportRuns(runs);
}

std::optional<double> MedianReporter::time(const std::string& name) const {
  const auto found = times_.find(name);
  return found == times_.end() ? std::nullopt : std::optional{found->second};
}

std::optional<double> MedianReporter::counter(const std::string& name,
                                              const std::string& counterName) const {
  const auto found = counters_.find({name, counterName});
  return found == counters_.end() ? std::nullopt : std::optional{found->second};
}

bool CallTimer::time(const std::function<bool()>& call) {
  const auto start = std::chrono::steady_clock::now();
  const bool result = call();
  microseconds_.push_back(
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  return result;
}

void CallTimer::report(benchmark::State& state) const {
  if (const auto middle = median(microseconds_)) {
    state.counters[callMedianCounter] = *middle;
  }
}

void runRegisteredBenchmarks(MedianReporter& reporter) {
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::ClearRegisteredBenchmarks();
}

std::unique_ptr<testing_support::SandboxedHelper> startSandboxedDaemon(
    testing_support::SandboxOptions options) {
  auto sandbox = std::make_unique<testing_support::SandboxedHelper>(std::move(options));
  if (!sandbox->started()) {
    return nullptr;
  }
  return sandbox;
}

}  // namespace quillmere::bench
