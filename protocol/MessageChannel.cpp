#include "protocol/MessageChannel.h"

#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <span>

#include "platform/Sockets.h"

namespace quillmere::varlink {
namespace {

// Reads go straight into the framer's buffer: small steps while a message is small, large ones
// once it is large, so that a reply of hundreds of MiB costs few system calls.
constexpr std::size_t smallReadSize = 64 * 1024;
constexpr std::size_t largeReadSize = 1024 * 1024;
// Large enough that a huge reply costs few system calls, small enough to stay out of the way.
constexpr std::size_t writePieceSize = 1024 * 1024;
// Room for a few pieces of a long reply in the socket (the kernel doubles the figure for its own
// bookkeeping): the default holds a fifth of one, so reader and writer would take turns several
// times for each piece.
constexpr int longReplySendQueue = static_cast<int>(2 * writePieceSize);

// Milliseconds left until the deadline for poll(), or -1 to wait without end.
int pollTimeout(const MessageChannel::Deadline& deadline) {
  if (!deadline) {
    return -1;
  }
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    return 0;
  }
  return left.count() > 1'000'000 ? 1'000'000 : static_cast<int>(left.count());
}

}  // namespace

MessageChannel::ReadResult MessageChannel::read(Deadline deadline) {
  // Without a deadline a blocking receive does the waiting itself, one system call per message
  // instead of two; poll() is needed only for a deadline nearer than what the socket bounds, or
  // a socket that does not block.
  bool blockingFailed = false;
  while (true) {
    if (auto message = framer_.next()) {
      return {ReadStatus::Message, std::move(*message), 0};
    }
    if (framer_.oversized()) {
      return {ReadStatus::Oversized, {}, 0};
    }
    if (blockingFailed || (deadline && !mayWaitInReceive(deadline))) {
      const auto ready = platform::waitReadable(socket_, pollTimeout(deadline));
      if (!ready) {
        if (ready.error().number == EINTR) {
          continue;
        }
        return {ReadStatus::Failed, {}, ready.error().number};
      }
      if (!*ready) {
        return {ReadStatus::TimedOut, {}, 0};
      }
    }
    const std::span<char> room =
        framer_.room(framer_.pending() < largeReadSize ? smallReadSize : largeReadSize);
    const auto received = platform::receiveSome(socket_, room);
    if (!received) {
      const int error = received.error().number;
      if (error == EINTR) {
        continue;
      }
      if (error == EAGAIN || error == EWOULDBLOCK) {
        // A socket that does not block, or the socket's own time-out ran out.
        blockingFailed = true;
        continue;
      }
      return {ReadStatus::Failed, {}, error};
    }
    if (*received == 0) {
      return {framer_.pending() == 0 ? ReadStatus::EndOfStream : ReadStatus::Truncated, {}, 0};
    }
    framer_.received(*received);
  }
}

void MessageChannel::waitInReceiveUpTo(std::chrono::milliseconds limit) {
  // A time-out of zero would mean none at all.
  if (limit.count() > 0 && platform::setReceiveTimeout(socket_, limit)) {
    receiveLimit_ = limit;
  }
}

bool MessageChannel::mayWaitInReceive(const Deadline& deadline) const {
  return receiveLimit_ && std::chrono::steady_clock::now() + *receiveLimit_ <= *deadline;
}

int MessageChannel::write(std::string_view message) { return send(message, true); }

int MessageChannel::write(const EncodedReply& reply) {
  int error = 0;
  bool widened = false;
  reply.write(
      [this, &error, &widened](std::string_view piece, bool last) {
        if (!last && !widened) {
          // Only a speed-up: the reply goes out whole either way.
          static_cast<void>(platform::widenSendQueue(socket_, longReplySendQueue));
          widened = true;
        }
        error = send(piece, last);
        return error == 0;
      },
      writePieceSize);
  return error;
}

int MessageChannel::send(std::string_view bytes, bool terminate) {
  static constexpr char terminator = '\0';
  std::array<iovec, 2> pieces{{
      {const_cast<char*>(bytes.data()), bytes.size()},
      {const_cast<char*>(&terminator), 1},
  }};
  const std::size_t count = terminate ? 2 : 1;
  std::size_t first = bytes.empty() ? 1 : 0;
  while (first < count) {
    const auto sent = platform::sendSome(socket_, std::span{&pieces[first], count - first});
    if (!sent) {
      if (sent.error().number == EINTR) {
        continue;
      }
      return sent.error().number;
    }
    // Skip what went out; a piece sent in part keeps its remainder.
    for (std::size_t left = *sent; first < count && left > 0;) {
      iovec& piece = pieces[first];
      const std::size_t taken = left < piece.iov_len ? left : piece.iov_len;
      piece.iov_base = static_cast<char*>(piece.iov_base) + taken;
      piece.iov_len -= taken;
      left -= taken;
      if (piece.iov_len == 0) {
        ++first;
      }
    }
  }
  return 0;
}

}  // namespace quillmere::varlink
