#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillmere::bench {

// One figure of the benchmark run next to its comparison from the same run.
struct ResultRow {
  std::string figure;       // what was measured
  std::string measured;     // its value, with unit
  std::string comparison;   // what it is set against, and that value
  std::string relation;     // ratio or difference of the two
  std::string target;       // the target, or "-" for figures without one
  std::optional<bool> met;  // against the target; nothing when there is none
};

// The table printed at the end of the run.
class ResultTable {
 public:
  void add(ResultRow row) { rows_.push_back(std::move(row)); }
  // A figure that could not be measured, and why.
  void addFailure(std::string figure, std::string reason);

  bool allMeasured() const { return allMeasured_; }
  void print() const;

 private:
  std::vector<ResultRow> rows_;
  bool allMeasured_ = true;
};

// "12.3 us", "4.56 ms": a value with a fixed number of decimals and its unit.
std::string withUnit(double value, const char* unit, int decimals = 1);
// "1.23x"
std::string ratioText(double ratio);
// "+1.2 ms" or "-0.4 ms"
std::string differenceText(double difference, const char* unit);

}  // namespace quillmere::bench
