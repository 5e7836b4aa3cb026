#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/WireGuardTurns.h"
#include "platform/Logger.h"
#include "protocol/HelperProtocol.h"

namespace quillmere {

inline constexpr std::string_view helperVersion = "1.0.0";

// The programs and places the daemon relies on. The daemon always uses `production()`; tests
// point them at stand-ins.
struct HelperSettings {
  std::string systemctlPath;
  std::vector<std::string> removalArguments;
  // The script runner's shell and the PATH its scripts get.
  std::string bashPath = "/bin/bash";
  std::string scriptSearchPath = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  // Where script files go; empty means $TMPDIR (read on each call), else /tmp.
  std::string scriptDirectory = {};
  // Tool discovery: `which` with a search path of its own, then fixed places for wg-quick.
  std::string whichPath = "/usr/bin/which";
  std::string whichSearchPath =
      "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/opt/local/bin:/sw/bin";
  std::vector<std::string> wireGuardSearchPaths = {
      "/opt/homebrew/bin/wg-quick", "/usr/local/bin/wg-quick", "/usr/bin/wg-quick",
      "/opt/local/bin/wg-quick",    "/sw/bin/wg-quick",
  };

  static HelperSettings production();
};

// Serves the requests of one connection. Holds no state of its own beyond where to log and which
// programs to use, so every request is served from its arguments alone.
class Helper : public HelperProtocol {
 public:
  // WireGuard requests of all Helpers that share `wireGuardTurns` run one at a time; one whose
  // caller is gone (`callerGone`, asked while it waits) is dropped without running.
  explicit Helper(platform::Logger& logger, HelperSettings settings = HelperSettings::production(),
                  WireGuardTurns* wireGuardTurns = nullptr,
                  WireGuardTurns::CallerGone callerGone = {});

  void executeWireGuardCommand(const std::string& command, const std::string& configPath,
                               const CommandReply& reply) override;
  void executeShellScript(const std::string& script, const CommandReply& reply) override;
  void getVersion(const VersionReply& reply) override;
  void uninstallHelper(const UninstallReply& reply) override;

 private:
  std::optional<std::string> executeWhichCommand(const std::string& name) const;
  std::optional<std::string> findWireGuardPath() const;
  std::string buildWireGuardNotFoundError() const;
  void log(std::string_view message) const;

  platform::Logger& logger_;
  HelperSettings settings_;
  WireGuardTurns* wireGuardTurns_;
  WireGuardTurns::CallerGone callerGone_;
};

}  // namespace quillmere
