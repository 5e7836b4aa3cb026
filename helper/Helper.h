#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "helper/HelperSettings.h"
#include "helper/WireGuardTurns.h"
#include "platform/Logger.h"
#include "protocol/HelperProtocol.h"

namespace quillmere {

// Serves the requests of one connection. Holds no state of its own beyond where to log and which
// programs to use, so every request is served from its arguments alone.
class Helper : public HelperProtocol {
 public:
  // WireGuard requests of all Helpers that share `wireGuardTurns` run one at a time; one whose
  // caller is gone (`callerGone`, asked while it waits) is dropped without running.
  explicit Helper(platform::Logger& logger, HelperSettings settings = {},
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
