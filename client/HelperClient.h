#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "client/HelperConnection.h"
#include "client/LineSink.h"
#include "protocol/CommandResult.h"
#include "protocol/HelperNames.h"

namespace quillmere::client {

struct HelperClientSettings {
  std::string socketPath{helperSocketPath};
  std::string installPath{helperInstallPath};
  std::chrono::milliseconds commandTimeout{std::chrono::seconds(30)};
  std::chrono::milliseconds versionTimeout{std::chrono::seconds(5)};
};

// The client's link to the helper. Each request blocks until its reply, a failure of the
// connection, or its time-out, and always comes back as a value. Constructing it sends and
// prints nothing; the connection is made by the first request.
class HelperClient {
 public:
  explicit HelperClient(LineSink& out, HelperClientSettings settings = {});
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;
  virtual ~HelperClient() = default;

  virtual CommandResult executeWireGuardCommand(const std::string& command,
                                                const std::string& configPath);
  virtual CommandResult executeShellScript(const std::string& script);
  virtual std::optional<std::string> getVersion();
  // Whether the daemon's executable is installed; never uses the connection.
  virtual bool isHelperInstalled();

 private:
  // Sends one call of a method that replies with a CommandResult. A failure is printed when
  // `printFailure` is set.
  CommandResult runCommand(std::string_view method, nlohmann::json parameters, bool printFailure);
  CommandResult failedCommand(const std::string& description, bool printFailure);

  LineSink& out_;
  HelperClientSettings settings_;
  HelperConnection connection_;
};

}  // namespace quillmere::client
