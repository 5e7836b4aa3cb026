#include "helper/ConnectionServer.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>
#include <variant>

#include "helper/CallDispatcher.h"
#include "helper/HelperLog.h"
#include "platform/Sockets.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere {
namespace {

// "16 MiB" for the protocol's limit, a byte count for any other.
std::string sizeText(std::size_t bytes) {
  constexpr std::size_t mebibyte = std::size_t{1024} * 1024;
  if (bytes % mebibyte == 0) {
    return std::to_string(bytes / mebibyte) + " MiB";
  }
  return std::to_string(bytes) + " bytes";
}

}  // namespace

void ConnectionServer::serve(HelperProtocol& helper) {
  // Waiting for the next call mostly in the receive itself: a call then costs one system call
  // less. Half the idle time, so that a whole wait fits before the deadline.
  channel_.waitInReceiveUpTo(std::chrono::duration_cast<std::chrono::milliseconds>(idleTime_) / 2);
  while (auto message = nextMessage(std::chrono::steady_clock::now() + idleTime_)) {
    auto decoded = varlink::decodeCall(*message);
    message.reset();  // a script may be megabytes; keep one copy, not two
    if (auto* malformed = std::get_if<varlink::MalformedMessage>(&decoded)) {
      closing(malformed->reason);
      return;
    }
    const auto& call = std::get<varlink::Call>(decoded);
    const varlink::Reply reply = dispatchCall(call, helper);
    // A peer that has gone gets nothing; the operation has run to its end all the same.
    if (!call.oneway && channel_.write(varlink::encodeReply(reply)) != 0) {
      return;
    }
  }
}

void ConnectionServer::refuse(std::chrono::steady_clock::duration patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  if (!discard(deadline, maxMessageSize_ + 1, /*untilTerminator=*/true)) {
    return;
  }
  if (channel_.write(varlink::encodeReply(varlink::errorReply(varlink::error::permissionDenied))) !=
      0) {
    return;
  }
  // Closing with bytes unread would reset the connection, and a peer that still sends might
  // then fail before it reads the answer. So the peer is told the end, and what it still sends
  // is read and dropped until it hangs up, within the same patience and limit.
  platform::shutWriting(socket_);
  discard(deadline, maxMessageSize_, /*untilTerminator=*/false);
}

bool ConnectionServer::discard(std::chrono::steady_clock::time_point deadline, std::size_t limit,
                               bool untilTerminator) {
  std::array<char, 64 * 1024> chunk;
  std::size_t discarded = 0;
  while (discarded < limit) {
    const std::size_t wanted = std::min(chunk.size(), limit - discarded);
    const auto received =
        platform::receiveSome(socket_, std::span{chunk.data(), wanted}, /*dontWait=*/true);
    if (received && *received > 0) {
      // Whatever follows the NUL in this chunk is dropped with it.
      if (untilTerminator && std::memchr(chunk.data(), '\0', *received) != nullptr) {
        return true;
      }
      discarded += *received;
      continue;
    }
    if (received) {
      return false;
    }
    if (const int error = received.error().number;
        error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
      return false;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    const auto wait = std::min<std::chrono::milliseconds::rep>(left.count(), 60'000);
    if (const auto ready = platform::waitReadable(socket_, static_cast<int>(wait));
        !ready && ready.error().number != EINTR) {
      return false;
    }
  }
  return false;
}

std::optional<std::string> ConnectionServer::nextMessage(
    varlink::MessageChannel::Deadline deadline) {
  auto result = channel_.read(deadline);
  using Status = varlink::MessageChannel::ReadStatus;
  switch (result.status) {
    case Status::Message:
      return std::move(result.message);
    case Status::Oversized:
      closing("message larger than " + sizeText(maxMessageSize_));
      break;
    case Status::Truncated:
      closing("peer hung up in the middle of a message");
      break;
    case Status::TimedOut:
      // Quietly when nothing of a call had come: that is an ordinary end.
      if (channel_.pendingBytes() != 0) closing("no whole call within the idle time");
      break;
    case Status::EndOfStream:
    case Status::Failed:
      break;
  }
  return std::nullopt;
}

void ConnectionServer::closing(std::string_view reason) {
  logHelperLine(logger_, "Closing connection: " + std::string{reason});
}

}  // namespace quillmere
