#pragma once

#include <cstddef>
#include <semaphore>

#include "helper/HelperDelegate.h"
#include "platform/Logger.h"

namespace quillmere {

// How many connections are served at once; further ones wait in the listen backlog.
inline constexpr std::ptrdiff_t maxServedConnections = 128;

// Accepts connections on the listening socket and serves each on a thread of its own.
class ConnectionAcceptor {
 public:
  ConnectionAcceptor(int listeningSocket, HelperDelegate& delegate, platform::Logger& logger)
      : listeningSocket_(listeningSocket), delegate_(delegate), logger_(logger) {}

  // Accepts for the life of the process. Returns only when the listening socket has failed for
  // good.
  void run();

 private:
  void startServing(platform::UniqueFd connection);

  int listeningSocket_;
  HelperDelegate& delegate_;
  platform::Logger& logger_;
  std::counting_semaphore<maxServedConnections> freeSlots_{maxServedConnections};
};

}  // namespace quillmere
