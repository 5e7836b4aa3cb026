#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "client/LineSink.h"
#include "platform/UniqueFd.h"
#include "protocol/MessageChannel.h"
#include "protocol/MessageCodec.h"

namespace quillmere::client {

// No reply came before the deadline; the reply, should it come later, is thrown away.
struct CallTimedOut {};

// The request could not be carried out; `description` tells a person why.
struct CallFailed {
  std::string description;
};

using CallOutcome = std::variant<varlink::Reply, CallTimedOut, CallFailed>;

// The client's one connection to the helper: made on the first call, one call at a time, each
// waited for on the monotonic clock. Reports the loss of the connection on `out`:
// - invalidated: the helper cannot be reached, refuses this user, or sends an unreadable reply.
//   The connection is never made again; every later call fails with the same description.
// - interrupted: the helper hung up with a call outstanding. The next call connects afresh.
class HelperConnection {
 public:
  HelperConnection(std::string socketPath, LineSink& out);

  // Sends `message` unchanged and waits for its reply until `timeout` has passed since it was
  // sent. Never retries.
  CallOutcome call(std::string_view message, std::chrono::milliseconds timeout);

 private:
  CallOutcome waitForReply(std::chrono::steady_clock::time_point deadline);
  CallFailed invalidate(std::string description);
  CallFailed interrupt(std::string description);
  void close();

  std::string socketPath_;
  LineSink& out_;
  platform::UniqueFd socket_;
  std::optional<varlink::MessageChannel> channel_;
  std::optional<std::string> invalidation_;  // why the connection was given up, once it was
  // Replies still owed to calls that stopped waiting. Replies come in order, so these arrive
  // before the reply to the current call and are skipped.
  std::size_t abandonedReplies_ = 0;
  // The send time-out the socket has, so that a run of calls sets it once, not per call.
  std::optional<std::chrono::milliseconds> sendTimeout_;
};

}  // namespace quillmere::client
