#pragma once

#include <cstddef>
#include <semaphore>

#include "helper/HelperDelegate.h"
#include "helper/PeerAdmission.h"
#include "platform/Logger.h"

namespace quillmere {

// The name of every thread that serves a connection (at most 15 characters).
inline constexpr const char* connectionThreadName = "connection";

// Accepts connections on the listening socket and serves each on a thread of its own, as many
// at once as there are places; further connections wait in the listen backlog.
class ConnectionAcceptor {
 public:
  ConnectionAcceptor(int listeningSocket, HelperDelegate& delegate, platform::Logger& logger)
      : listeningSocket_(listeningSocket),
        delegate_(delegate),
        logger_(logger),
        admission_(logger) {}

  // Accepts for the life of the process. Returns only when the listening socket has failed for
  // good.
  void run();

 private:
  // The next connection, or nothing when the listening socket has failed for good (logged).
  std::optional<platform::UniqueFd> nextConnection();
  void startServing(platform::UniqueFd connection, PeerAdmission::Decision decision);

  int listeningSocket_;
  HelperDelegate& delegate_;
  platform::Logger& logger_;
  PeerAdmission admission_;
  std::counting_semaphore<maxServedConnections> freeSlots_{maxServedConnections};
};

}  // namespace quillmere
