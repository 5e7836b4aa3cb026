#include "helper/ConnectionQuota.h"

#include <utility>

namespace quillmere {

ConnectionQuota::Place::Place(Place&& other) noexcept
    : quota_(std::exchange(other.quota_, nullptr)), uid_(other.uid_) {}

ConnectionQuota::Place& ConnectionQuota::Place::operator=(Place&& other) noexcept {
  if (this != &other) {
    giveBack();
    quota_ = std::exchange(other.quota_, nullptr);
    uid_ = other.uid_;
  }
  return *this;
}

void ConnectionQuota::Place::giveBack() {
  if (quota_ != nullptr) std::exchange(quota_, nullptr)->giveBack(uid_);
}

std::optional<ConnectionQuota::Place> ConnectionQuota::take(uid_t uid) {
  if (uid == 0) return Place{};
  const std::lock_guard lock{mutex_};
  if (heldByAll_ >= allUsers_) return std::nullopt;
  std::size_t& count = held_[uid];
  if (count >= perUser_) return std::nullopt;
  ++count;
  ++heldByAll_;
  return Place{this, uid};
}

void ConnectionQuota::giveBack(uid_t uid) {
  const std::lock_guard lock{mutex_};
  const auto found = held_.find(uid);
  if (found == held_.end()) return;
  --heldByAll_;
  // Forget users with nothing open, so the map holds only the connected.
  if (--found->second == 0) held_.erase(found);
}

}  // namespace quillmere
