#include "bench/SandboxLauncher.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <nlohmann/json.hpp>

#include "bench/Measurement.h"
#include "platform/Processes.h"
#include "protocol/MessageChannel.h"

namespace quillmere::bench {
namespace {

using nlohmann::json;

bool enterNamespaces(const testing_support::SandboxedHelper& sandbox) {
  // All are opened first: once in the sandbox's mount namespace, its /proc no longer shows them.
  std::array<platform::UniqueFd, 3> namespaces{
      platform::UniqueFd{::open(sandbox.namespacePath("mnt").c_str(), O_RDONLY | O_CLOEXEC)},
      platform::UniqueFd{::open(sandbox.namespacePath("pid").c_str(), O_RDONLY | O_CLOEXEC)},
      platform::UniqueFd{::open(sandbox.namespacePath("net").c_str(), O_RDONLY | O_CLOEXEC)},
  };
  for (const platform::UniqueFd& space : namespaces) {
    if (!space.valid() || ::setns(space.get(), 0) != 0) {
      return false;
    }
  }
  const platform::UniqueFd null{::open("/dev/null", O_RDWR | O_CLOEXEC)};
  return null.valid() && ::dup2(null.get(), STDIN_FILENO) >= 0 &&
         ::dup2(null.get(), STDOUT_FILENO) >= 0 && ::dup2(null.get(), STDERR_FILENO) >= 0;
}

std::optional<double> runTimed(const std::vector<std::string>& command) {
  const platform::SpawnSpec request{command.front(),
                                    {command.begin() + 1, command.end()},
                                    platform::currentEnvironment(),
                                    platform::OutputMode::Inherit,
                                    platform::OutputMode::Inherit};
  return millisecondsOf([&request] {
    const auto outcome = platform::runProcess(request);
    return outcome && outcome->status == 0;
  });
}

// The child's whole life: each message is a command; each answer its time, or null.
[[noreturn]] void serveRequests(int link, const testing_support::SandboxedHelper& sandbox) {
  if (!enterNamespaces(sandbox)) {
    ::_exit(1);
  }
  varlink::MessageChannel channel{link};
  while (true) {
    auto request = channel.read();
    if (request.status != varlink::MessageChannel::ReadStatus::Message) {
      ::_exit(0);
    }
    const json command = json::parse(request.message, nullptr, false);
    std::optional<double> milliseconds;
    if (command.is_array() && !command.empty()) {
      milliseconds = runTimed(command.get<std::vector<std::string>>());
    }
    channel.write(milliseconds ? json(*milliseconds).dump() : json(nullptr).dump());
  }
}

}  // namespace

SandboxLauncher::SandboxLauncher(const testing_support::SandboxedHelper& sandbox) {
  std::array<int, 2> ends{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
    return;
  }
  link_ = platform::UniqueFd{ends[0]};
  platform::UniqueFd childEnd{ends[1]};
  child_ = ::fork();
  if (child_ == 0) {
    // The child holds copies of this process's objects, the sandbox among them: it must end in
    // _exit, never by unwinding into destructors that would stop the sandbox.
    try {
      link_.reset();
      serveRequests(childEnd.get(), sandbox);
    } catch (...) {
      ::_exit(1);
    }
  }
  if (child_ > 0) {
    channel_.emplace(link_.get());
  } else {
    link_.reset();
  }
}

SandboxLauncher::~SandboxLauncher() {
  channel_.reset();
  link_.reset();  // the child ends when its link closes
  if (child_ > 0) {
    int status = 0;
    ::waitpid(child_, &status, 0);
  }
}

std::optional<double> SandboxLauncher::timedRun(const std::vector<std::string>& command) {
  if (!channel_ || channel_->write(json(command).dump()) != 0) {
    return std::nullopt;
  }
  const auto answer = channel_->read();
  if (answer.status != varlink::MessageChannel::ReadStatus::Message) {
    return std::nullopt;
  }
  const json milliseconds = json::parse(answer.message, nullptr, false);
  if (!milliseconds.is_number()) {
    return std::nullopt;
  }
  return milliseconds.get<double>();
}

std::optional<std::vector<double>> medianMilliseconds(
    SandboxLauncher& launcher, const std::vector<std::vector<std::string>>& commands, int rounds) {
  std::vector<std::vector<double>> runs(commands.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t index = 0; index < commands.size(); ++index) {
      const auto milliseconds = launcher.timedRun(commands[index]);
      if (!milliseconds) {
        return std::nullopt;
      }
      runs[index].push_back(*milliseconds);
    }
  }
  std::vector<double> medians;
  for (const auto& times : runs) {
    medians.push_back(*median(times));
  }
  return medians;
}

}  // namespace quillmere::bench
