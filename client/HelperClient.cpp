#include "client/HelperClient.h"

#include "platform/Files.h"
#include "protocol/JsonText.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere::client {
namespace {

constexpr std::string_view noReplyError = "Failed to connect to helper";

std::string failureText(const std::string& description) {
  return std::string{noReplyError} + ": " + description;
}

// What is wrong with a reply that arrived, or nothing when its parameters can be used.
std::optional<std::string> replyProblem(const varlink::Reply& reply, std::string_view method) {
  if (reply.error) {
    return "the helper answered " + *reply.error;
  }
  const auto* declared = varlink::findMethod(varlink::helperInterface(), method);
  if (const auto field = varlink::findInvalidField(reply.parameters, declared->replyFields)) {
    return "the helper's reply has an invalid member \"" + *field + "\"";
  }
  return std::nullopt;
}

varlink::Call helperCall(std::string_view method, nlohmann::json parameters) {
  return varlink::Call{varlink::helperMethodName(method), std::move(parameters)};
}

// JSON carries only Unicode text; anything else would arrive changed, so it is not sent.
CommandResult unsendable(std::string_view what) {
  return CommandResult{
      false, std::nullopt,
      "Cannot send the " + std::string{what} + " to the helper: it is not valid UTF-8 text"};
}

}  // namespace

HelperClient::HelperClient(LineSink& out, HelperClientSettings settings)
    : out_(out), settings_(std::move(settings)), connection_(settings_.socketPath, out) {}

CommandResult HelperClient::executeWireGuardCommand(const std::string& command,
                                                    const std::string& configPath) {
  if (!varlink::isValidUtf8(command)) {
    return unsendable("command");
  }
  if (!varlink::isValidUtf8(configPath)) {
    return unsendable("configuration path");
  }
  return runCommand(varlink::method::executeWireGuardCommand,
                    {{"command", command}, {"configPath", configPath}}, true);
}

CommandResult HelperClient::executeShellScript(const std::string& script) {
  if (!varlink::isValidUtf8(script)) {
    return unsendable("script");
  }
  return runCommand(varlink::method::executeShellScript, {{"script", script}}, false);
}

std::optional<std::string> HelperClient::getVersion() {
  const auto outcome = connection_.call(
      varlink::encodeCall(helperCall(varlink::method::getVersion, nlohmann::json::object())),
      settings_.versionTimeout);
  std::optional<std::string> problem;
  if (const auto* failed = std::get_if<CallFailed>(&outcome)) {
    problem = failed->description;
  } else if (const auto* reply = std::get_if<varlink::Reply>(&outcome)) {
    problem = replyProblem(*reply, varlink::method::getVersion);
    if (!problem) {
      return reply->parameters.at("version").get<std::string>();
    }
  }
  if (problem) {
    out_.writeLine("ERROR: " + failureText(*problem));
  }
  return std::nullopt;
}

bool HelperClient::isHelperInstalled() { return platform::pathExists(settings_.installPath); }

CommandResult HelperClient::runCommand(std::string_view method, nlohmann::json parameters,
                                       bool printFailure) {
  auto outcome = connection_.call(varlink::encodeCall(helperCall(method, std::move(parameters))),
                                  settings_.commandTimeout);
  if (const auto* failed = std::get_if<CallFailed>(&outcome)) {
    return failedCommand(failed->description, printFailure);
  }
  if (auto* reply = std::get_if<varlink::Reply>(&outcome)) {
    if (const auto problem = replyProblem(*reply, method)) {
      return failedCommand(*problem, printFailure);
    }
    // The output may be hundreds of MiB: moved out of the reply, not copied.
    if (auto result = varlink::commandResultFromParameters(std::move(reply->parameters))) {
      return *std::move(result);
    }
    return failedCommand("the helper's reply cannot be read", printFailure);
  }
  return CommandResult{false, std::nullopt, std::string{noReplyError}};
}

CommandResult HelperClient::failedCommand(const std::string& description, bool printFailure) {
  std::string error = failureText(description);
  if (printFailure) {
    out_.writeLine("ERROR: " + error);
  }
  return CommandResult{false, std::nullopt, std::move(error)};
}

}  // namespace quillmere::client
