#pragma once

#include "helper/WireGuardTurns.h"
#include "platform/Logger.h"
#include "platform/UniqueFd.h"

namespace quillmere {

// Serves a connection that was let in with its own Helper for its life, or answers one that was
// not; who is let in is decided before (PeerAdmission). Both run on the connection's own thread
// until the connection is over.
class HelperDelegate {
 public:
  explicit HelperDelegate(platform::Logger& logger) : logger_(logger) {}
  HelperDelegate(const HelperDelegate&) = delete;
  HelperDelegate& operator=(const HelperDelegate&) = delete;

  void serveConnection(platform::UniqueFd connection);
  // Answers the refused peer's first call with PermissionDenied and closes.
  void refuseConnection(platform::UniqueFd connection);

 private:
  platform::Logger& logger_;
  // Shared by every connection's Helper: WireGuard requests take turns.
  WireGuardTurns wireGuardTurns_;
};

}  // namespace quillmere
