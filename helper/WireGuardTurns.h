#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

namespace quillmere {

// WireGuard requests of all connections run one at a time: each "up" kills every wireguard-go
// and empties /var/run/wireguard, so two at once would break each other. A request waits for its
// turn only while its caller is still there to receive the reply.
class WireGuardTurns {
 public:
  using Turn = std::unique_lock<std::timed_mutex>;

  // True once the caller of the waiting request has hung up.
  using CallerGone = std::function<bool()>;

  // How often a waiting request looks whether its caller is still there.
  static constexpr std::chrono::milliseconds callerCheckInterval{100};

  WireGuardTurns() = default;
  WireGuardTurns(const WireGuardTurns&) = delete;
  WireGuardTurns& operator=(const WireGuardTurns&) = delete;

  // The turn, held until the returned lock is dropped; nothing when the caller hung up first.
  std::optional<Turn> await(const CallerGone& callerGone);

 private:
  std::timed_mutex mutex_;
};

}  // namespace quillmere
