#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Logger.h"

namespace quillmere::testing_support {

// Keeps every logged line for the test to read; safe from several threads.
class CapturingLogger : public platform::Logger {
 public:
  void log(std::string_view message) override {
    const std::lock_guard lock{mutex_};
    lines_.emplace_back(message);
  }
  std::vector<std::string> lines() const {
    const std::lock_guard lock{mutex_};
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace quillmere::testing_support
