#include "bench/ResultTable.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace quillmere::bench {
namespace {

std::string formatted(const char* format, double value, int decimals, const char* unit) {
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), format, decimals, value, unit);
  return text.data();
}

std::string verdict(const std::optional<bool>& met) {
  if (!met) {
    return "-";
  }
  return *met ? "PASS" : "FAIL";
}

}  // namespace

void ResultTable::addFailure(std::string figure, std::string reason) {
  rows_.push_back(ResultRow{std::move(figure), "not measured: " + reason, "", "", "", false});
  allMeasured_ = false;
}

void ResultTable::print() const {
  std::vector<std::array<std::string, 6>> lines{
      {"figure", "measured", "compared with (same run)", "ratio/diff", "target", "result"}};
  for (const ResultRow& row : rows_) {
    lines.push_back(
        {row.figure, row.measured, row.comparison, row.relation, row.target, verdict(row.met)});
  }
  std::array<std::size_t, 6> widths{};
  for (const auto& line : lines) {
    for (std::size_t column = 0; column < widths.size(); ++column) {
      widths[column] = std::max(widths[column], line[column].size());
    }
  }
  std::printf("\n");
  for (std::size_t index = 0; index < lines.size(); ++index) {
    std::string text;
    for (std::size_t column = 0; column < widths.size(); ++column) {
      text += "| " + lines[index][column] +
              std::string(widths[column] - lines[index][column].size() + 1, ' ');
    }
    std::printf("%s|\n", text.c_str());
    if (index == 0) {
      std::string rule;
      for (const std::size_t width : widths) {
        // Appended piece by piece: GCC 12 takes `"|" + std::string(...)` for an overlapping copy.
        rule += '|';
        rule.append(width + 2, '-');
      }
      std::printf("%s|\n", rule.c_str());
    }
  }
  std::fflush(stdout);
}

std::string withUnit(double value, const char* unit, int decimals) {
  return formatted("%.*f %s", value, decimals, unit);
}

std::string ratioText(double ratio) { return formatted("%.*f%s", ratio, 2, "x"); }

std::string differenceText(double difference, const char* unit) {
  return formatted("%+.*f %s", difference, 1, unit);
}

}  // namespace quillmere::bench
