#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace quillmere {

// WireGuard requests of all connections run one at a time: each "up" kills every wireguard-go
// and empties /var/run/wireguard, so two at once would break each other. A request waits for its
// turn only while its caller is still there to receive the reply.
class WireGuardTurns {
 public:
  // True once the caller of the waiting request has hung up.
  using CallerGone = std::function<bool()>;

  // How often a waiting request looks whether its caller is still there.
  static constexpr std::chrono::milliseconds callerCheckInterval{100};

  // The turn, held until it is dropped; the next waiting request goes on then.
  class Turn {
   public:
    Turn(Turn&& other) noexcept : turns_(std::exchange(other.turns_, nullptr)) {}
    Turn& operator=(Turn&& other) noexcept {
      if (this != &other) {
        if (turns_ != nullptr) turns_->release();
        turns_ = std::exchange(other.turns_, nullptr);
      }
      return *this;
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() {
      if (turns_ != nullptr) turns_->release();
    }

   private:
    friend class WireGuardTurns;
    explicit Turn(WireGuardTurns* turns) : turns_(turns) {}
    WireGuardTurns* turns_;
  };

  WireGuardTurns() = default;
  WireGuardTurns(const WireGuardTurns&) = delete;
  WireGuardTurns& operator=(const WireGuardTurns&) = delete;

  // The turn, or nothing when the caller hung up first.
  std::optional<Turn> await(const CallerGone& callerGone);

 private:
  void release();

  std::mutex mutex_;
  std::condition_variable freed_;
  bool taken_ = false;
};

}  // namespace quillmere
