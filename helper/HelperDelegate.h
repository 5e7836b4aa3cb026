#pragma once

#include "helper/WireGuardTurns.h"
#include "platform/Logger.h"
#include "platform/UniqueFd.h"

namespace quillmere {

// Decides about each new connection and, once accepted, gives it its own Helper for its life.
class HelperDelegate {
 public:
  explicit HelperDelegate(platform::Logger& logger) : logger_(logger) {}
  HelperDelegate(const HelperDelegate&) = delete;
  HelperDelegate& operator=(const HelperDelegate&) = delete;

  // Runs on the connection's own thread until the connection is over.
  void serveConnection(platform::UniqueFd connection);

 private:
  platform::Logger& logger_;
  // Shared by every connection's Helper: WireGuard requests take turns.
  WireGuardTurns wireGuardTurns_;
};

}  // namespace quillmere
