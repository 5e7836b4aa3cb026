#include "helper/Helper.h"

#include <utility>
#include <variant>

#include "helper/HelperLog.h"
#include "helper/ScriptRunner.h"
#include "platform/Subprocess.h"
#include "protocol/HelperNames.h"

namespace quillmere {

HelperSettings HelperSettings::production() {
  return HelperSettings{
      "/bin/systemctl",
      {"disable", "--now", std::string{helperSocketUnit}, std::string{helperServiceUnit}},
  };
}

Helper::Helper(platform::Logger& logger, HelperSettings settings)
    : logger_(logger), settings_(std::move(settings)) {}

void Helper::executeWireGuardCommand(const std::string& /*command*/,
                                     const std::string& /*configPath*/,
                                     const CommandReply& /*reply*/) {
  // Not served yet: the dispatcher answers MethodNotImplemented for an operation that does not
  // reply.
}

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
  if (const auto* failure = std::get_if<platform::SpawnFailure>(&outcome)) {
    log("Could not start " + settings_.systemctlPath + ": " + failure->description);
  }
  // The caller expects true whatever became of the removal.
  reply(true);
}

void Helper::log(std::string_view message) const { logHelperLine(logger_, message); }

}  // namespace quillmere
