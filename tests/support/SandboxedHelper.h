#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Processes.h"
#include "protocol/HelperNames.h"

namespace quillmere::testing_support {

// A stand-in for the socket unit: a loop that puts the socket up with systemd-socket-activate,
// which starts `program` on the first connection, and puts it up again once that program ended,
// as systemd does while the socket unit is active.
struct SocketActivation {
  std::string listenPath = std::string{helperSocketPath};
  // Empty for the built helper.
  std::string program = {};
  // Open to everyone by default, so that refusals by the helper itself can be seen.
  std::string mode = "0666";
  std::string group = "root";
};

struct SandboxOptions {
  // Start the helper as systemd would, on the first connection, rather than at once.
  std::optional<SocketActivation> socketActivated = std::nullopt;
  // Start the helper at all; tests that start their own leave it off.
  bool startHelper = true;
  // Host files bind-mounted over paths inside the sandbox, e.g. a stand-in /bin/systemctl.
  std::vector<std::pair<std::string, std::string>> bindMounts = {};
  // A network namespace (made with `ip netns add`) to run the sandbox in; empty keeps the host's.
  std::string networkNamespace = {};
  // Shell lines run as root inside the sandbox before the helper starts.
  std::vector<std::string> setup = {};
};

// The real quillmere-helper in private namespaces: its own mount namespace with fresh tmpfs over
// /run and /tmp, and its own PID namespace. Nothing it does reaches the host's files or
// processes. The helper's standard error (its log) is kept for the test to read.
class SandboxedHelper {
 public:
  // Why these tests cannot run here, or nothing when they can.
  static std::optional<std::string> unavailableReason();

  explicit SandboxedHelper(SandboxOptions options = {});
  ~SandboxedHelper();
  SandboxedHelper(const SandboxedHelper&) = delete;
  SandboxedHelper& operator=(const SandboxedHelper&) = delete;

  // False (with the log kept) when the helper did not come up.
  bool started() const { return started_; }

  // A path inside the sandbox as the host reaches it.
  std::string hostPath(std::string_view insidePath) const;
  std::string socketPath() const;
  // One of the sandbox's namespaces as the host reaches it: "mnt", "pid" or "net".
  std::string namespacePath(std::string_view kind) const;

  std::vector<std::string> logLines() const;
  std::size_t countLogLines(std::string_view line) const;
  // Waits until `line` has been logged `count` times; false when that did not happen in time.
  bool waitForLogLine(std::string_view line, std::size_t count = 1,
                      std::chrono::milliseconds patience = std::chrono::seconds(10)) const;

  // Runs a command inside the sandbox's namespaces (mount, PID, network), as root.
  platform::ProcessOutcome runInside(const std::vector<std::string>& command) const;

  // Where the built programs are inside the sandbox.
  static std::string insideBinary(std::string_view name);

  // A set-up line that puts an empty tmpfs where the daemon gets installed, so that the host's
  // own installation (or the lack of one) does not matter and nothing is created on the host.
  static std::string emptyInstallDirectory();
  // Set-up lines that install the built daemon at its installed path, in the sandbox only.
  static std::vector<std::string> installHelper();

  // Shell lines that stop the stand-in socket unit as systemd would: no new daemon is started,
  // and the socket file goes. A daemon already running keeps running.
  static std::string stopSocketUnit();
  // Waits until the stand-in socket unit has put its socket up for the `count`th time.
  bool waitForActivationSocket(int count) const;
  // False once the stand-in socket unit has been stopped.
  bool socketUnitRunning() const;

  void stop();

 private:
  std::string directory_;
  std::string logPath_;
  pid_t unsharePid_ = -1;
  pid_t initPid_ = -1;  // the sandbox's PID 1, as the host numbers it
  bool started_ = false;
};

}  // namespace quillmere::testing_support
