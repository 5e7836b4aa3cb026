#include "helper/ConnectionServer.h"

#include <string>
#include <variant>

#include "helper/CallDispatcher.h"
#include "helper/HelperLog.h"
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
  const auto message = nextMessage(std::chrono::steady_clock::now() + patience);
  if (!message) {
    return;
  }
  const auto decoded = varlink::decodeCall(*message);
  if (const auto* call = std::get_if<varlink::Call>(&decoded); call && !call->oneway) {
    channel_.write(varlink::encodeReply(varlink::errorReply(varlink::error::permissionDenied)));
  }
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
