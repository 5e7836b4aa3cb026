#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "protocol/MessageChannel.h"
#include "tests/support/SandboxedHelper.h"

namespace quillmere::bench {

// Starts whole programs inside a sandbox's mount, PID and network namespaces and times them, so
// that a program run there costs what it would cost on a real system: no nsenter in between.
// A child process of this one enters the namespaces once and starts each program on request,
// its output going to /dev/null.
class SandboxLauncher {
 public:
  // Forks, so it must be made while this process runs a single thread.
  explicit SandboxLauncher(const testing_support::SandboxedHelper& sandbox);
  ~SandboxLauncher();
  SandboxLauncher(const SandboxLauncher&) = delete;
  SandboxLauncher& operator=(const SandboxLauncher&) = delete;

  // Milliseconds from start to reaped, or nothing when the program failed or did not start.
  std::optional<double> timedRun(const std::vector<std::string>& command);

 private:
  platform::UniqueFd link_;
  std::optional<varlink::MessageChannel> channel_;
  pid_t child_ = -1;
};

// Runs each command `rounds` times, the commands taking turns so that a busy spell of the
// machine falls on all of them alike. The median milliseconds of each, or nothing when any run
// failed.
std::optional<std::vector<double>> medianMilliseconds(
    SandboxLauncher& launcher, const std::vector<std::vector<std::string>>& commands, int rounds);

}  // namespace quillmere::bench
