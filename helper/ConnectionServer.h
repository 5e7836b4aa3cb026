#pragma once

#include <chrono>
#include <cstddef>

#include "platform/Logger.h"
#include "protocol/HelperProtocol.h"
#include "protocol/MessageChannel.h"

namespace quillmere {

// How long a connection may stay without sending a whole call while none of its calls runs;
// then it is closed, so that idle or stuck peers cannot keep their places for ever.
inline constexpr std::chrono::seconds connectionIdleTime{30};

// Carries the calls of one accepted connection, one after another, to their replies.
class ConnectionServer {
 public:
  // `maxMessageSize` is the protocol's limit; the fuzz harness sets a small one to reach it.
  ConnectionServer(int socket, platform::Logger& logger,
                   std::size_t maxMessageSize = varlink::maxMessageSize,
                   std::chrono::steady_clock::duration idleTime = connectionIdleTime)
      : socket_(socket),
        channel_(socket, maxMessageSize),
        logger_(logger),
        maxMessageSize_(maxMessageSize),
        idleTime_(idleTime) {}

  // Serves calls until the peer closes the connection, breaks the protocol, or stays idle for
  // the idle time.
  void serve(HelperProtocol& helper);

  // Answers the first call with PermissionDenied, waiting at most `patience` for its end, and
  // hangs up. Nothing the peer sends is parsed or kept: its bytes are only searched for the end
  // of that call, so even a oneway call is answered. A first call larger than the limit, or cut
  // off, gets nothing. Logs nothing: the refusal itself is the caller's line.
  void refuse(std::chrono::steady_clock::duration patience);

 private:
  // The next message, or nothing when the connection is over (logged when the peer broke it).
  std::optional<std::string> nextMessage(varlink::MessageChannel::Deadline deadline);
  void closing(std::string_view reason);
  // Reads and drops the peer's bytes until the end of the stream, the deadline, `limit` bytes
  // or, when `untilTerminator`, a chunk holding a NUL; true when that NUL came.
  bool discard(std::chrono::steady_clock::time_point deadline, std::size_t limit,
               bool untilTerminator);

  int socket_;
  varlink::MessageChannel channel_;
  platform::Logger& logger_;
  std::size_t maxMessageSize_;
  std::chrono::steady_clock::duration idleTime_;
};

}  // namespace quillmere
