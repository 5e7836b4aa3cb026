#include "helper/WireGuardTurns.h"

namespace quillmere {

std::optional<WireGuardTurns::Turn> WireGuardTurns::await(const CallerGone& callerGone) {
  Turn turn{mutex_, std::defer_lock};
  while (!turn.try_lock_for(callerCheckInterval)) {
    if (callerGone && callerGone()) return std::nullopt;
  }
  return turn;
}

}  // namespace quillmere
