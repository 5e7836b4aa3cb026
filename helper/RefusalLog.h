#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/Logger.h"

namespace quillmere {

// Writes the daemon's refusal lines, at most `burst` for one user in each `window`. What it
// leaves out is counted and told in one line once the window has closed, so that a flood of
// refused connections cannot flood the journal, which would then drop the daemon's other lines.
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;

  // Stands for peers whose credentials could not be read.
  static constexpr uid_t unidentified = static_cast<uid_t>(-1);

  explicit RefusalLog(platform::Logger& logger, std::size_t burst = 20,
                      Clock::duration window = std::chrono::seconds(30))
      : logger_(logger), burst_(burst), window_(window) {}
  RefusalLog(const RefusalLog&) = delete;
  RefusalLog& operator=(const RefusalLog&) = delete;

  // Logs `message` (without the daemon's prefix) as one of `user`'s refusals.
  void refuse(uid_t user, std::string_view message, Clock::time_point now = Clock::now());

  // Tells the count of every closed window that left lines out. Returns when the next open
  // window closes, or nothing while none is open.
  std::optional<Clock::time_point> flush(Clock::time_point now = Clock::now());

 private:
  struct Window {
    Clock::time_point closes;
    std::size_t logged = 0;
    std::size_t leftOut = 0;
  };
  void tellLeftOut(uid_t user, const Window& window);

  platform::Logger& logger_;
  const std::size_t burst_;
  const Clock::duration window_;
  std::mutex mutex_;
  std::map<uid_t, Window> windows_;
};

}  // namespace quillmere
