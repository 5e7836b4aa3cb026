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

// The median of first[i] - second[i]: for runs taken in turns, what one adds to the other with
// the machine's slow spells paired off. Nothing when empty or of different lengths.
std::optional<double> medianDifference(const std::vector<double>& first,
                                       const std::vector<double>& second);

// How long `action` took, in milliseconds; nothing when it reported failure.
std::optional<double> millisecondsOf(const std::function<bool()>& action);

// Medians of Google Benchmark repetitions, by benchmark name: the time per iteration in the
// benchmark's own unit and the user counters (items_per_second among them).
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  MedianReporter();
  void ReportRuns(const std::vector<Run>& runs) override;

  std::optional<double> time(const std::string& name) const;
  std::optional<double> counter(const std::string& name, const std::string& counter) const;

 private:
  std::map<std::string, double> times_;
  std::map<std::pair<std::string, std::string>, double> counters_;
};

// Times single iterations of a benchmark loop, so that a benchmark can report the median call
// rather than the mean, which one preempted call on a busy machine would sway.
class CallTimer {
 public:
  explicit CallTimer(std::size_t expectedCalls) { microseconds_.reserve(expectedCalls); }
  // Runs `call` and records how long it took; returns what it returned.
  bool time(const std::function<bool()>& call);
  // Sets the counter "call_median_us".
  void report(benchmark::State& state) const;

 private:
  std::vector<double> microseconds_;
};

inline constexpr const char* callMedianCounter = "call_median_us";

// Runs the benchmarks registered so far, reports their medians and forgets them.
void runRegisteredBenchmarks(MedianReporter& reporter);

// The real daemon started in a sandbox of its own, or nothing when it did not come up.
std::unique_ptr<testing_support::SandboxedHelper> startSandboxedDaemon(
    testing_support::SandboxOptions options = {});

}  // namespace quillmere::bench
