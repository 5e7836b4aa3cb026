#include "tests/support/VarlinkTestClient.h"

#include <sys/socket.h>

#include "platform/Sockets.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere::testing_support {

VarlinkTestClient::VarlinkTestClient(const std::string& socketPath) {
  auto connected = platform::connectUnixSocket(socketPath);
  if (!connected) {
    connectError_ = connected.error().number;
    return;
  }
  socket_ = std::move(connected).value();
  channel_.emplace(socket_.get());
}

bool VarlinkTestClient::send(std::string_view text) {
  return channel_ && socket_.valid() && channel_->write(text) == 0;
}

bool VarlinkTestClient::sendPart(std::string_view bytes) {
  return socket_.valid() && ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                static_cast<ssize_t>(bytes.size());
}

std::optional<nlohmann::json> VarlinkTestClient::receive(std::chrono::milliseconds patience) {
  if (!channel_ || !socket_.valid()) {
    return std::nullopt;
  }
  auto result = channel_->read(std::chrono::steady_clock::now() + patience);
  lastStatus_ = result.status;
  if (result.status != varlink::MessageChannel::ReadStatus::Message) {
    return std::nullopt;
  }
  auto reply = nlohmann::json::parse(result.message, nullptr, false);
  if (reply.is_discarded()) {
    return std::nullopt;
  }
  return reply;
}

std::optional<nlohmann::json> VarlinkTestClient::call(std::string_view text) {
  if (!send(text)) {
    return std::nullopt;
  }
  return receive();
}

std::string helperCall(std::string_view method, const nlohmann::json& parameters) {
  nlohmann::json call{{"method", varlink::helperMethodName(method)}};
  if (!parameters.is_null()) {
    call["parameters"] = parameters;
  }
  return call.dump();
}

}  // namespace quillmere::testing_support
