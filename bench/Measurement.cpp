#include "bench/Measurement.h"

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

std::optional<double> millisecondsOf(const std::function<bool()>& action) {
  const auto start = std::chrono::steady_clock::now();
  if (!action()) {
    return std::nullopt;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.aggregate_name != "median" || run.error_occurred) {
      continue;
    }
    const std::string name = run.run_name.function_name;
    times_[name] = run.GetAdjustedRealTime();
    if (const auto rate = run.counters.find("items_per_second"); rate != run.counters.end()) {
      itemRates_[name] = rate->second.value;
    }
  }
  ConsoleReporter::ReportRuns(runs);
}

namespace {

std::optional<double> lookUp(const std::map<std::string, double>& values, const std::string& name) {
  const auto found = values.find(name);
  return found == values.end() ? std::nullopt : std::optional{found->second};
}

}  // namespace

std::optional<double> MedianReporter::time(const std::string& name) const {
  return lookUp(times_, name);
}

std::optional<double> MedianReporter::itemsPerSecond(const std::string& name) const {
  return lookUp(itemRates_, name);
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
