#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/MessageCodec.h"
#include "protocol/MessageFramer.h"

namespace quillmere::varlink {

// Reads and writes NUL-terminated messages on a connected stream socket it does not own.
class MessageChannel {
 public:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;

  enum class ReadStatus {
    Message,      // `message` holds the next message
    EndOfStream,  // the peer closed its side between messages
    Truncated,    // the peer closed its side in the middle of a message
    Oversized,    // the peer sent a message larger than the limit; the stream is unusable
    TimedOut,     // the deadline passed first
    Failed,       // the socket failed; see errorNumber
  };

  struct ReadResult {
    ReadStatus status = ReadStatus::Failed;
    std::string message;
    int errorNumber = 0;
  };

  explicit MessageChannel(int socket, std::size_t maxSize = maxMessageSize)
      : socket_(socket), framer_(maxSize) {}

  ReadResult read(Deadline deadline = std::nullopt);

  // Lets a read wait in the receive itself while its deadline is at least `limit` away, the
  // socket's own receive time-out (set here) bounding that wait: one system call where poll()
  // and a receive would be two. What is left of the deadline then is waited for with poll().
  // Without it, or where the socket refuses the time-out, every wait for a deadline is a poll().
  void waitInReceiveUpTo(std::chrono::milliseconds limit);

  // Bytes received of a message not yet complete.
  std::size_t pendingBytes() const { return framer_.pending(); }

  // Sends `message` and its NUL whole. Returns 0, or the errno that stopped it (EPIPE when the
  // peer has gone). Never raises SIGPIPE.
  int write(std::string_view message);
  // The same for a reply, sent as it is encoded, in large pieces.
  int write(const EncodedReply& reply);

 private:
  // Sends `bytes`, and the NUL after them when `terminate`, whole.
  int send(std::string_view bytes, bool terminate);

  // Whether a receive may block now, the deadline still at least the socket's time-out away.
  bool mayWaitInReceive(const Deadline& deadline) const;

  int socket_;
  MessageFramer framer_;
  std::optional<std::chrono::milliseconds> receiveLimit_;
};

}  // namespace quillmere::varlink
