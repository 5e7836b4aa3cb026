#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/SandboxedHelper.h"

namespace quillmere::bench {

// The middle value; the mean of the two middle ones for an even count. Nothing when empty.
std::optional<double> median(std::vector<double> values);

// How long `action` took, in milliseconds; nothing when it reported failure.
std::optional<double> millisecondsOf(const std::function<bool()>& action);

// Medians of Google Benchmark repetitions, by benchmark name: the time per iteration in the
// benchmark's own unit and, where set, items per second.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;

  std::optional<double> time(const std::string& name) const;
  std::optional<double> itemsPerSecond(const std::string& name) const;

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> itemRates_;
};

// Runs the benchmarks registered so far, reports their medians and forgets them.
void runRegisteredBenchmarks(MedianReporter& reporter);

// The real daemon started in a sandbox of its own, or nothing when it did not come up.
std::unique_ptr<testing_support::SandboxedHelper> startSandboxedDaemon(
    testing_support::SandboxOptions options = {});

}  // namespace quillmere::bench
