#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/UniqueFd.h"
#include "protocol/MessageChannel.h"

namespace quillmere::testing_support {

// A bare Varlink connection for tests: sends any bytes, reads replies as JSON.
class VarlinkTestClient {
 public:
  explicit VarlinkTestClient(const std::string& socketPath);

  bool connected() const { return socket_.valid(); }
  int connectError() const { return connectError_; }

  // Sends `text` and its NUL as they are.
  bool send(std::string_view text);
  // Sends `bytes` alone, without a NUL: a part of a message.
  bool sendPart(std::string_view bytes);
  // The next reply, or nothing when the connection ended or nothing came in time.
  std::optional<nlohmann::json> receive(
      std::chrono::milliseconds patience = std::chrono::seconds(30));
  std::optional<nlohmann::json> call(std::string_view text);
  varlink::MessageChannel::ReadStatus lastStatus() const { return lastStatus_; }

  void close() { socket_.reset(); }

 private:
  platform::UniqueFd socket_;
  int connectError_ = 0;
  std::optional<varlink::MessageChannel> channel_;
  varlink::MessageChannel::ReadStatus lastStatus_ = varlink::MessageChannel::ReadStatus::Failed;
};

// A call message for the helper's own interface.
std::string helperCall(std::string_view method, const nlohmann::json& parameters = nullptr);

}  // namespace quillmere::testing_support
