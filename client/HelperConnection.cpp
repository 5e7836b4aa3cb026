#include "client/HelperConnection.h"

#include <cerrno>
#include <limits>

#include "platform/Result.h"
#include "platform/Sockets.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere::client {
namespace {

constexpr std::string_view invalidatedLine = "ERROR: Connection to helper invalidated";
constexpr std::string_view interruptedLine = "ERROR: Connection to helper interrupted";

// Script output is never cut by the helper, so the client takes replies of any size.
constexpr std::size_t unlimitedReplySize = std::numeric_limits<std::size_t>::max();

}  // namespace

HelperConnection::HelperConnection(std::string socketPath, LineSink& out)
    : socketPath_(std::move(socketPath)), out_(out) {}

CallOutcome HelperConnection::call(std::string_view message, std::chrono::milliseconds timeout) {
  if (invalidation_) {
    return CallFailed{*invalidation_};
  }
  if (!socket_.valid()) {
    auto connected = platform::connectUnixSocket(socketPath_);
    if (!connected) {
      return invalidate("cannot reach the helper at " + socketPath_ + ": " +
                        platform::errorText(connected.error().number));
    }
    socket_ = std::move(connected).value();
    channel_.emplace(socket_.get(), unlimitedReplySize);
    abandonedReplies_ = 0;
  }

  if (sendTimeout_ != timeout) {
    // Bounds each send, so a helper that stops reading cannot hold a large request forever.
    static_cast<void>(platform::setSendTimeout(socket_.get(), timeout));
    // The reply is mostly waited for in the receive itself, one system call less per call.
    channel_->waitInReceiveUpTo(timeout / 2);
    sendTimeout_ = timeout;
  }
  if (const int error = channel_->write(message); error != 0) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // Part of the call may have gone out, so the stream cannot carry another one.
      close();
      return CallTimedOut{};
    }
    return interrupt("the helper closed the connection: " + platform::errorText(error));
  }
  return waitForReply(std::chrono::steady_clock::now() + timeout);
}

CallOutcome HelperConnection::waitForReply(std::chrono::steady_clock::time_point deadline) {
  using Status = varlink::MessageChannel::ReadStatus;
  while (true) {
    auto received = channel_->read(deadline);
    switch (received.status) {
      case Status::Message: {
        if (abandonedReplies_ > 0) {
          --abandonedReplies_;
          continue;
        }
        auto decoded = varlink::decodeReplyInPlace(std::move(received.message));
        if (const auto* malformed = std::get_if<varlink::MalformedMessage>(&decoded)) {
          return invalidate("the helper's reply cannot be read: " + malformed->reason);
        }
        auto& reply = std::get<varlink::Reply>(decoded);
        if (reply.error == varlink::error::permissionDenied) {
          return invalidate("the helper refused this user");
        }
        return std::move(reply);
      }
      case Status::TimedOut:
        ++abandonedReplies_;
        return CallTimedOut{};
      case Status::EndOfStream:
      case Status::Truncated:
        return interrupt("the helper closed the connection before replying");
      case Status::Failed:
        return interrupt("the connection to the helper failed: " +
                         platform::errorText(received.errorNumber));
      case Status::Oversized:
        return invalidate("the helper's reply is too large");
    }
  }
}

CallFailed HelperConnection::invalidate(std::string description) {
  close();
  invalidation_ = description;
  out_.writeLine(invalidatedLine);
  return CallFailed{std::move(description)};
}

CallFailed HelperConnection::interrupt(std::string description) {
  close();
  out_.writeLine(interruptedLine);
  return CallFailed{std::move(description)};
}

void HelperConnection::close() {
  channel_.reset();
  socket_.reset();
  abandonedReplies_ = 0;
  sendTimeout_.reset();
}

}  // namespace quillmere::client
