#pragma once

#include <functional>
#include <string>

#include "protocol/CommandResult.h"

namespace quillmere {

// The contract between the daemon and its callers. Every operation calls its reply exactly once,
// on the calling thread, before it returns.
class HelperProtocol {
 public:
  // Takes the result by value, so that a script's output can be moved on rather than copied.
  using CommandReply = std::function<void(CommandResult)>;
  using VersionReply = std::function<void(const std::string& version)>;
  using UninstallReply = std::function<void(bool success)>;

  HelperProtocol() = default;
  HelperProtocol(const HelperProtocol&) = delete;
  HelperProtocol& operator=(const HelperProtocol&) = delete;
  virtual ~HelperProtocol() = default;

  virtual void executeWireGuardCommand(const std::string& command, const std::string& configPath,
                                       const CommandReply& reply) = 0;
  virtual void executeShellScript(const std::string& script, const CommandReply& reply) = 0;
  virtual void getVersion(const VersionReply& reply) = 0;
  virtual void uninstallHelper(const UninstallReply& reply) = 0;
};

}  // namespace quillmere
