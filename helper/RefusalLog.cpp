#include "helper/RefusalLog.h"

#include <string>

#include "helper/HelperLog.h"

namespace quillmere {

void RefusalLog::refuse(uid_t user, std::string_view message, Clock::time_point now) {
  const std::lock_guard lock{mutex_};
  auto found = windows_.find(user);
  if (found != windows_.end() && found->second.closes <= now) {
    tellLeftOut(user, found->second);
    windows_.erase(found);
    found = windows_.end();
  }
  if (found == windows_.end()) {
    found = windows_.emplace(user, Window{now + window_}).first;
  }
  Window& window = found->second;
  if (window.logged < burst_) {
    ++window.logged;
    logHelperLine(logger_, message);
  } else {
    ++window.leftOut;
  }
}

std::optional<RefusalLog::Clock::time_point> RefusalLog::flush(Clock::time_point now) {
  const std::lock_guard lock{mutex_};
  std::optional<Clock::time_point> next;
  for (auto window = windows_.begin(); window != windows_.end();) {
    if (window->second.closes <= now) {
      tellLeftOut(window->first, window->second);
      window = windows_.erase(window);
      continue;
    }
    if (!next || window->second.closes < *next) next = window->second.closes;
    ++window;
  }
  return next;
}

void RefusalLog::tellLeftOut(uid_t user, const Window& window) {
  if (window.leftOut == 0) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(window_).count();
  logHelperLine(logger_, "Left out " + std::to_string(window.leftOut) + " more refusal lines " +
                             (user == unidentified ? std::string{"for unidentified peers"}
                                                   : "for uid " + std::to_string(user)) +
                             " in " + std::to_string(seconds) + " s");
}

}  // namespace quillmere
