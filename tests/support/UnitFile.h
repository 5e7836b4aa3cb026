#pragma once

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace quillmere::testing_support {

// The settings of a systemd unit file, as far as the tests read them: `Key=value` lines under
// `[Section]` headers; a key set twice keeps its last value.
class UnitFile {
 public:
  static std::optional<UnitFile> read(const std::string& path) {
    std::ifstream file{path};
    if (!file) {
      return std::nullopt;
    }
    UnitFile unit;
    std::string section;
    for (std::string line; std::getline(file, line);) {
      if (line.empty() || line.front() == '#' || line.front() == ';') {
        continue;
      }
      if (line.front() == '[' && line.back() == ']') {
        section = line.substr(1, line.size() - 2);
      } else if (const auto equals = line.find('='); equals != std::string::npos) {
        unit.values_[{section, line.substr(0, equals)}] = line.substr(equals + 1);
      }
    }
    return unit;
  }

  std::string value(const std::string& section, const std::string& key) const {
    const auto found = values_.find({section, key});
    return found == values_.end() ? std::string{} : found->second;
  }

 private:
  std::map<std::pair<std::string, std::string>, std::string> values_;
};

}  // namespace quillmere::testing_support
