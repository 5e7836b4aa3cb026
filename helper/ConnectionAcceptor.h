#pragma once

#include <cstddef>
#include <optional>
#include <semaphore>

#include "helper/ConnectionQuota.h"
#include "helper/HelperDelegate.h"
#include "platform/Logger.h"

namespace quillmere {

// How many connections are served at once; further ones wait in the listen backlog.
inline constexpr std::ptrdiff_t maxServedConnections = 256;

// The name of every thread that serves a connection (at most 15 characters).
inline constexpr const char* connectionThreadName = "connection";

// Accepts connections on the listening socket and serves each on a thread of its own.
class ConnectionAcceptor {
 public:
  ConnectionAcceptor(int listeningSocket, HelperDelegate& delegate, platform::Logger& logger)
      : listeningSocket_(listeningSocket), delegate_(delegate), logger_(logger) {}

  // Accepts for the life of the process. Returns only when the listening socket has failed for
  // good.
  void run();

 private:
  // A place for the connection's user, or nothing when it is turned away (logged).
  std::optional<ConnectionQuota::Place> admit(int connection);
  void startServing(platform::UniqueFd connection, ConnectionQuota::Place place);

  int listeningSocket_;
  HelperDelegate& delegate_;
  platform::Logger& logger_;
  std::counting_semaphore<maxServedConnections> freeSlots_{maxServedConnections};
  ConnectionQuota quota_{maxConnectionsPerUser};
};

}  // namespace quillmere
