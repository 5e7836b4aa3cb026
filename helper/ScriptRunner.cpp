#include "helper/ScriptRunner.h"

#include <cstdlib>
#include <utility>
#include <variant>

#include "helper/HelperLog.h"
#include "helper/ScriptText.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Randomness.h"
#include "platform/Result.h"

namespace quillmere {
namespace {

constexpr mode_t kScriptFileMode = 0755;

std::string writeFailureText(const platform::SystemError& failure, const std::string& path) {
  const std::string what = failure.what == platform::setModeStep
                               ? "Could not set the permissions of the script file "
                               : "Could not write the script file ";
  return what + path + ": " + platform::errorText(failure.number);
}

}  // namespace

std::string temporaryDirectory(const char* tmpdirValue) {
  if (tmpdirValue == nullptr || *tmpdirValue == '\0') return "/tmp";
  return tmpdirValue;
}

std::string joinPath(std::string_view directory, std::string_view name) {
  while (directory.size() > 1 && directory.ends_with('/')) directory.remove_suffix(1);
  std::string path{directory};
  if (!path.ends_with('/')) path += '/';
  path += name;
  return path;
}

void ScriptRunner::run(const std::string& script, const HelperProtocol::CommandReply& reply) const {
  log("Executing shell script");
  // getenv on each call: the daemon never changes its environment, so this read is safe.
  const std::string directory = settings_.scriptDirectory.empty()
                                    ? temporaryDirectory(std::getenv("TMPDIR"))
                                    : settings_.scriptDirectory;
  if (const auto reason = platform::untrustedDirectoryReason(directory)) {
    fail("Unsafe temporary directory " + directory + ": " + *reason, reply, nullptr);
    return;
  }
  auto uuid = platform::randomUuidV4Text();
  if (!uuid) {
    fail("Could not make a random script file name: " + platform::errorText(uuid.error().number),
         reply, nullptr);
    return;
  }
  const std::string name = "quillmere-" + *uuid + ".sh";
  const std::string path = joinPath(directory, name);

  if (const auto written = platform::writeFileAtomically(directory, name, script, kScriptFileMode);
      !written) {
    fail(writeFailureText(written.error(), path), reply, nullptr);
    return;
  }

  auto outcome = platform::runProcess(platform::SpawnSpec{
      settings_.bashPath,
      {path},
      platform::environmentWithPath(settings_.scriptSearchPath),
      platform::OutputMode::Capture,
      platform::OutputMode::Capture,
  });
  if (!outcome) {
    fail("Could not run " + settings_.bashPath + ": " + platform::errorText(outcome.error().number),
         reply, &path);
    return;
  }
  auto& ended = *outcome;
  CommandResult result{ended.status == 0, scriptText(std::move(ended.standardOutput)),
                       std::nullopt};
  std::optional<std::string> errorText = scriptText(std::move(ended.standardError));
  // The script may have removed its own file; that is no failure.
  static_cast<void>(platform::removeFile(path));

  if (result.success) {
    errorText.reset();
    log("Script executed successfully");
  } else {
    result.error = std::move(errorText);
    log("Script failed with status " + std::to_string(ended.status));
  }
  reply(std::move(result));
}

void ScriptRunner::fail(const std::string& description, const HelperProtocol::CommandReply& reply,
                        const std::string* placedFile) const {
  log("Error executing script: " + description);
  reply(CommandResult{false, std::nullopt, "Failed to execute script: " + description});
  // Only a file this call placed is removed: after a failed write, whatever sits at the name
  // belongs to somebody else.
  if (placedFile != nullptr) static_cast<void>(platform::removeFile(*placedFile));
}

void ScriptRunner::log(std::string_view message) const { logHelperLine(logger_, message); }

}  // namespace quillmere
