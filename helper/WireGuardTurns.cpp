#include "helper/WireGuardTurns.h"

namespace quillmere {

std::optional<WireGuardTurns::Turn> WireGuardTurns::await(const CallerGone& callerGone) {
  std::unique_lock lock{mutex_};
  while (taken_) {
    if (freed_.wait_for(lock, callerCheckInterval, [this] { return !taken_; })) break;
    // Asked without the lock: the answer may take a system call, and the holder must be able
    // to give the turn back meanwhile.
    lock.unlock();
    const bool gone = callerGone && callerGone();
    lock.lock();
    if (gone) return std::nullopt;
  }
  taken_ = true;
  return Turn{this};
}

void WireGuardTurns::release() {
  {
    const std::lock_guard lock{mutex_};
    taken_ = false;
  }
  freed_.notify_one();
}

}  // namespace quillmere
