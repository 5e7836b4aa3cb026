#pragma once

#include <string>
#include <string_view>

#include "helper/HelperSettings.h"
#include "platform/Logger.h"
#include "protocol/HelperProtocol.h"

namespace quillmere {

// Runs one script as the daemon's user: writes it to a fresh file, runs that with bash, collects
// both streams, removes the file and replies once. Logs exactly two lines per call.
class ScriptRunner {
 public:
  ScriptRunner(platform::Logger& logger, const HelperSettings& settings)
      : logger_(logger), settings_(settings) {}

  void run(const std::string& script, const HelperProtocol::CommandReply& reply) const;

 private:
  // The failure path: log, reply, then remove the script file if this call placed it.
  void fail(const std::string& description, const HelperProtocol::CommandReply& reply,
            const std::string* placedFile) const;
  void log(std::string_view message) const;

  platform::Logger& logger_;
  const HelperSettings& settings_;
};

// Where script files go when no directory is configured: $TMPDIR when set and not empty, else
// /tmp.
std::string temporaryDirectory(const char* tmpdirValue);

// `directory` and `name` with exactly one separator between them.
std::string joinPath(std::string_view directory, std::string_view name);

}  // namespace quillmere
