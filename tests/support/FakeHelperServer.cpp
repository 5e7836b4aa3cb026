#include "tests/support/FakeHelperServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <fstream>

#include "platform/Sockets.h"
#include "protocol/MessageChannel.h"

namespace quillmere::testing_support {
namespace {

using namespace std::chrono_literals;

// How often a waiting server looks whether it should stop.
constexpr auto stopCheck = 20ms;

}  // namespace

std::optional<FakeStep> FakeStep::parse(const std::string& word) {
  if (word.starts_with("reply:")) {
    return FakeStep{Action::Reply, word.substr(6)};
  }
  if (word == "silent") {
    return FakeStep{Action::Silent};
  }
  if (word == "hangup") {
    return FakeStep{Action::HangUp};
  }
  if (word == "stall") {
    return FakeStep{Action::Stall};
  }
  return std::nullopt;
}

FakeHelperServer::FakeHelperServer(const std::string& socketPath, std::vector<FakeStep> steps,
                                   std::optional<std::string> recordPath)
    : steps_(std::move(steps)), recordPath_(std::move(recordPath)) {
  auto obtained = platform::obtainListeningSocket(socketPath, std::nullopt);
  if (obtained) {
    listener_ = std::move(obtained).value();
  }
}

FakeHelperServer::~FakeHelperServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
}

void FakeHelperServer::start() {
  thread_ = std::thread{[this] { serve(); }};
}

void FakeHelperServer::serve() {
  while (!stopping_) {
    pollfd waiter{listener_.get(), POLLIN, 0};
    if (::poll(&waiter, 1, static_cast<int>(stopCheck.count())) <= 0) {
      continue;
    }
    platform::UniqueFd connection{::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)};
    if (connection.valid()) {
      {
        std::lock_guard lock{mutex_};
        ++connections_;
      }
      serveConnection(connection.get());
    }
  }
}

void FakeHelperServer::serveConnection(int socket) {
  varlink::MessageChannel channel{socket};
  while (!stopping_) {
    auto received = channel.read(std::chrono::steady_clock::now() + stopCheck);
    if (received.status == varlink::MessageChannel::ReadStatus::TimedOut) {
      continue;
    }
    if (received.status != varlink::MessageChannel::ReadStatus::Message) {
      return;
    }
    std::size_t index = 0;
    {
      std::lock_guard lock{mutex_};
      index = calls_.size();
    }
    record(received.message);
    const FakeStep step = stepFor(index);
    switch (step.action) {
      case FakeStep::Action::Reply:
        std::this_thread::sleep_for(step.delay);
        channel.write(step.reply);
        break;
      case FakeStep::Action::Silent:
        break;
      case FakeStep::Action::HangUp:
        return;
      case FakeStep::Action::Stall:
        while (!stopping_) {
          std::this_thread::sleep_for(stopCheck);
        }
        return;
    }
  }
}

FakeStep FakeHelperServer::stepFor(std::size_t call) const {
  if (steps_.empty()) {
    return FakeStep{FakeStep::Action::Silent};
  }
  return steps_[call < steps_.size() ? call : steps_.size() - 1];
}

void FakeHelperServer::record(const std::string& call) {
  std::lock_guard lock{mutex_};
  calls_.push_back(call);
  if (recordPath_) {
    std::ofstream{*recordPath_, std::ios::app} << call << "\n";
  }
}

std::vector<std::string> FakeHelperServer::calls() const {
  std::lock_guard lock{mutex_};
  return calls_;
}

std::size_t FakeHelperServer::connections() const {
  std::lock_guard lock{mutex_};
  return connections_;
}

}  // namespace quillmere::testing_support
