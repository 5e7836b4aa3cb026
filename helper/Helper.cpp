#include "helper/Helper.h"

#include <utility>
#include <variant>

#include "helper/HelperLog.h"
#include "helper/ScriptRunner.h"
#include "helper/ScriptText.h"
#include "helper/WireGuardScripts.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "protocol/HelperNames.h"

namespace quillmere {

Helper::Helper(platform::Logger& logger, HelperSettings settings, WireGuardTurns* wireGuardTurns,
               WireGuardTurns::CallerGone callerGone)
    : logger_(logger),
      settings_(std::move(settings)),
      wireGuardTurns_(wireGuardTurns),
      callerGone_(std::move(callerGone)) {}

void Helper::executeShellScript(const std::string& script, const CommandReply& reply) {
  ScriptRunner{logger_, settings_}.run(script, reply);
}

void Helper::getVersion(const VersionReply& reply) {
  log("Version requested");
  reply(std::string{helperVersion});
}

void Helper::uninstallHelper(const UninstallReply& reply) {
  log("Uninstall requested");
  // systemd may stop this very daemon while the removal runs; then no reply goes out.
  const auto outcome = platform::runProcess(platform::SpawnSpec{
      settings_.systemctlPath,
      settings_.removalArguments,
      platform::currentEnvironment(),
      platform::OutputMode::Inherit,
      platform::OutputMode::Inherit,
  });
  if (!outcome) {
    log("Could not start " + settings_.systemctlPath + ": " +
        platform::errorText(outcome.error().number));
  }
  // The caller expects true whatever became of the removal.
  reply(true);
}

void Helper::executeWireGuardCommand(const std::string& command, const std::string& configPath,
                                     const CommandReply& reply) {
  log("Executing WireGuard command: " + command + " for config: " + configPath);
  if (command != "up" && command != "down") {
    reply(CommandResult{false, std::nullopt, "Invalid command. Must be 'up' or 'down'"});
    return;
  }
  if (!platform::pathExists(configPath)) {
    reply(CommandResult{false, std::nullopt, "Configuration file not found: " + configPath});
    return;
  }
  // Only a request that passed its checks waits, and only while its caller is there: run later,
  // it could tear down a tunnel brought up since its caller gave up.
  std::optional<WireGuardTurns::Turn> turn;
  if (wireGuardTurns_ != nullptr) {
    turn = wireGuardTurns_->await(callerGone_);
    if (!turn) {
      log("Dropped WireGuard command: " + command + " for config: " + configPath +
          ": the caller hung up while it waited for its turn");
      reply(CommandResult{false, std::nullopt, "The caller hung up before the command's turn"});
      return;
    }
  }
  const std::optional<std::string> wgQuick = findWireGuardPath();
  if (!wgQuick) {
    const std::string hint = buildWireGuardNotFoundError();
    log(hint);
    reply(CommandResult{false, std::nullopt, hint});
    return;
  }
  if (!executeWhichCommand("wireguard-go")) {
    log("Warning - wireguard-go not found, may cause connection issues");
  }
  // Through the object, so that the runner's reply is this request's reply.
  executeShellScript(command == "up" ? wireGuardUpScript(*wgQuick, configPath)
                                     : wireGuardDownScript(*wgQuick, configPath),
                     reply);
}

std::optional<std::string> Helper::executeWhichCommand(const std::string& name) const {
  auto outcome = platform::runProcess(platform::SpawnSpec{
      settings_.whichPath,
      {name},
      platform::environmentWithPath(settings_.whichSearchPath),
      platform::OutputMode::Capture,
      platform::OutputMode::Discard,
  });
  if (!outcome) {
    log("'which' command failed: " + platform::errorText(outcome.error().number));
    return std::nullopt;
  }
  auto& finished = *outcome;
  if (finished.status != 0) {
    return std::nullopt;
  }
  std::optional<std::string> path = scriptText(std::move(finished.standardOutput));
  if (!path || path->empty() || !platform::pathExists(*path)) {
    return std::nullopt;
  }
  return path;
}

std::optional<std::string> Helper::findWireGuardPath() const {
  if (auto path = executeWhichCommand("wg-quick")) {
    log("Found WireGuard via 'which': " + *path);
    return path;
  }
  for (const std::string& candidate : settings_.wireGuardSearchPaths) {
    if (platform::pathExists(candidate)) {
      log("Found WireGuard at: " + candidate);
      return candidate;
    }
  }
  std::string searched;
  for (const std::string& candidate : settings_.wireGuardSearchPaths) {
    searched += (searched.empty() ? "" : ", ") + candidate;
  }
  log("WireGuard not found. Searched paths: " + searched);
  return std::nullopt;
}

std::string Helper::buildWireGuardNotFoundError() const {
  if (executeWhichCommand("brew")) {
    return "[dependency-manager:checkWireGuard] WireGuard not found. Install via Terminal: brew "
           "install wireguard-tools wireguard-go";
  }
  return "[dependency-manager:checkWireGuard] WireGuard and Homebrew not found. Install Homebrew "
         "from https://brew.sh then run: brew install wireguard-tools wireguard-go";
}

void Helper::log(std::string_view message) const { logHelperLine(logger_, message); }

}  // namespace quillmere
