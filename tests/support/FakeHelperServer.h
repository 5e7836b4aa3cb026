#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

namespace quillmere::testing_support {

// What the fake helper does with one call.
struct FakeStep {
  enum class Action {
    Reply,   // sends `reply` as it is, after `delay`
    Silent,  // reads the call and never answers
    HangUp,  // reads the call and closes the connection
    Stall,   // stops reading altogether
  };
  Action action = Action::Reply;
  std::string reply = {};
  std::chrono::milliseconds delay{0};

  // "reply:TEXT", "silent", "hangup" or "stall"; nothing for anything else.
  static std::optional<FakeStep> parse(const std::string& word);
};

// A stand-in for the helper on a Unix socket: serves one connection at a time and answers the
// n-th call of its life with step n (the last step for every call after that). Records every
// call it reads.
class FakeHelperServer {
 public:
  FakeHelperServer(const std::string& socketPath, std::vector<FakeStep> steps,
                   std::optional<std::string> recordPath = std::nullopt);
  ~FakeHelperServer();
  FakeHelperServer(const FakeHelperServer&) = delete;
  FakeHelperServer& operator=(const FakeHelperServer&) = delete;

  bool listening() const { return listener_.valid(); }
  // Serves on a thread of its own until destroyed.
  void start();
  // Serves on the calling thread, for ever.
  void serve();

  std::vector<std::string> calls() const;
  std::size_t connections() const;

 private:
  void serveConnection(int socket);
  FakeStep stepFor(std::size_t call) const;
  void record(const std::string& call);

  platform::UniqueFd listener_;
  std::vector<FakeStep> steps_;
  std::optional<std::string> recordPath_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::size_t connections_ = 0;
};

}  // namespace quillmere::testing_support
