// The daemon's handling of one connection: the input is everything a peer sends. The real
// connection-serving code (framing, dispatch, parameter checks, limit) runs on one end of a socket
// pair; the input goes in at the other end, which is then shut down, and every reply is read and
// checked against what the calls in the input ask for. The Helper's operations are stand-ins, so
// nothing is ever run.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/PeerExchange.h"
#include "helper/ConnectionServer.h"
#include "helper/Helper.h"
#include "platform/Logger.h"
#include "platform/UniqueFd.h"
#include "protocol/MessageCodec.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere::fuzzing {
namespace {

using nlohmann::json;
using platform::UniqueFd;

// Small enough for inputs to reach it; the serving code does not depend on the figure.
constexpr std::size_t messageLimit = 512;
constexpr std::string_view closingPrefix = "Quillmere Helper: Closing connection: ";

// Keeps only what the checks need, so a long run does not pile up log lines. Each message must
// still make exactly one log line.
class CheckingLogger final : public platform::Logger {
 public:
  void log(std::string_view message) override {
    const std::string line = platform::logLine(message);
    require(line.find('\n') == line.size() - 1, "one log message makes one line");
    if (message.starts_with(closingPrefix)) {
      closingReasons_.emplace_back(message.substr(closingPrefix.size()));
    }
  }
  std::vector<std::string> takeClosingReasons() { return std::move(closingReasons_); }

 private:
  std::vector<std::string> closingReasons_;
};

// The real Helper with every operation that would run a program replaced: the stand-ins echo
// their arguments, so the replies show what reached them.
class StandInHelper final : public Helper {
 public:
  explicit StandInHelper(platform::Logger& logger) : Helper(logger, nothingToRun()) {}

  void executeShellScript(const std::string& script, const CommandReply& reply) override {
    reply(CommandResult{true, script, std::nullopt});
  }
  void executeWireGuardCommand(const std::string& command, const std::string& configPath,
                               const CommandReply& reply) override {
    reply(CommandResult{false, command, configPath});
  }
  void uninstallHelper(const UninstallReply& reply) override { reply(true); }

 private:
  // Should anything slip past the stand-ins, it finds no program to run.
  static HelperSettings nothingToRun() {
    HelperSettings settings;
    settings.systemctlPath = settings.bashPath = settings.whichPath = "/nonexistent";
    settings.wireGuardSearchPaths.clear();
    return settings;
  }
};

json expectedError(std::string_view name, json parameters) {
  return json{{"error", name}, {"parameters", std::move(parameters)}};
}

json expectedNormal(json parameters) { return json{{"parameters", std::move(parameters)}}; }

// The reply a call must get, worked out from the interface declaration and the stand-ins.
json expectedReply(const varlink::Call& call) {
  namespace method = varlink::method;
  namespace error = varlink::error;
  const auto [interfaceName, memberName] = varlink::splitQualifiedName(call.method);
  const varlink::InterfaceSpec* interface = varlink::findInterface(interfaceName);
  if (interface == nullptr) {
    return expectedError(error::interfaceNotFound, {{"interface", interfaceName}});
  }
  const varlink::MethodSpec* declared = varlink::findMethod(*interface, memberName);
  if (declared == nullptr) {
    return expectedError(error::methodNotFound, {{"method", call.method}});
  }
  if (const auto invalid = varlink::findInvalidField(call.parameters, declared->parameters)) {
    return expectedError(error::invalidParameter, {{"parameter", *invalid}});
  }
  // Every declared text parameter is now a string or null, and null reads as "".
  const auto text = [&call](const char* name) {
    const auto member = call.parameters.find(name);
    return member == call.parameters.end() || member->is_null() ? std::string{}
                                                                : member->get<std::string>();
  };
  const std::string_view name = declared->name;
  if (name == method::getInterfaceDescription) {
    const varlink::InterfaceSpec* wanted = varlink::findInterface(text("interface"));
    return wanted == nullptr
               ? expectedError(error::interfaceNotFound, {{"interface", text("interface")}})
               : expectedNormal({{"description", varlink::interfaceDescription(*wanted)}});
  }
  if (name == method::getVersion) {
    return expectedNormal({{"version", helperVersion}});
  }
  if (name == method::uninstallHelper) {
    return expectedNormal({{"success", true}});
  }
  if (name == method::executeShellScript) {
    return expectedNormal(varlink::commandResultParameters({true, text("script"), std::nullopt}));
  }
  if (name == method::executeWireGuardCommand) {
    return expectedNormal(
        varlink::commandResultParameters({false, text("command"), text("configPath")}));
  }
  return nullptr;  // GetInfo: checked against its declaration only
}

void checkReply(const varlink::Call& call, std::string_view replyText) {
  const json reply = json::parse(replyText, nullptr, /*allow_exceptions=*/false);
  require(reply.is_object() && reply.contains("parameters") && reply["parameters"].is_object(),
          "a reply is a JSON object with parameters");
  const json expected = expectedReply(call);
  if (!expected.is_null()) {
    require(reply == expected, "each call gets its own reply, in order");
    return;
  }
  const auto* getInfo = varlink::findMethod(varlink::serviceInterface(), varlink::method::getInfo);
  require(
      reply.size() == 1 && !varlink::findInvalidField(reply["parameters"], getInfo->replyFields),
      "GetInfo replies as declared");
}

// What serving the input must do: the calls answered in order, and why the connection ended.
struct Expectation {
  std::vector<varlink::Call> answered;
  std::optional<std::string> closingReason;
};

Expectation expectServed(std::string_view input) {
  Expectation expectation;
  while (true) {
    const std::size_t terminator = input.find('\0');
    const std::size_t length = terminator == std::string_view::npos ? input.size() : terminator;
    if (length > messageLimit) {
      expectation.closingReason = "message larger than " + std::to_string(messageLimit) + " bytes";
      return expectation;
    }
    if (terminator == std::string_view::npos) {
      if (!input.empty()) {
        expectation.closingReason = "peer hung up in the middle of a message";
      }
      return expectation;
    }
    auto decoded = varlink::decodeCall(input.substr(0, terminator));
    input.remove_prefix(terminator + 1);
    if (const auto* malformed = std::get_if<varlink::MalformedMessage>(&decoded)) {
      expectation.closingReason = malformed->reason;
      return expectation;
    }
    auto& call = std::get<varlink::Call>(decoded);
    if (!call.oneway) {
      expectation.answered.push_back(std::move(call));
    }
  }
}

std::vector<std::string_view> splitReplies(std::string_view received) {
  require(received.empty() || received.back() == '\0', "every reply ends with its NUL");
  std::vector<std::string_view> replies;
  while (!received.empty()) {
    const std::size_t terminator = received.find('\0');
    replies.push_back(received.substr(0, terminator));
    received.remove_prefix(terminator + 1);
  }
  return replies;
}

void serveAndCheck(std::string_view input) {
  static ServingThread serving;
  CheckingLogger logger;
  StandInHelper helper{logger};

  int ends[2];
  require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
  const UniqueFd peer{ends[0]};
  // The server's end closes as soon as serving is over, which ends the exchange.
  serving.start([&logger, &helper, end = ends[1]] {
    const UniqueFd connection{end};
    ConnectionServer{connection.get(), logger, messageLimit}.serve(helper);
  });
  const std::string received = exchange(peer.get(), input);
  serving.finish();

  const std::vector<std::string_view> replies = splitReplies(received);
  const std::vector<std::string> closingReasons = logger.takeClosingReasons();
  const Expectation expectation = expectServed(input);
  require(replies.size() == expectation.answered.size(),
          "one reply per call wanting one, until the connection ends");
  for (std::size_t i = 0; i < replies.size(); ++i) {
    checkReply(expectation.answered[i], replies[i]);
  }
  require(closingReasons.size() == (expectation.closingReason ? 1 : 0) &&
              (!expectation.closingReason || closingReasons[0] == *expectation.closingReason),
          "a broken stream is closed with the reason logged");
}

}  // namespace
}  // namespace quillmere::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzzing::serveAndCheck(std::string_view{reinterpret_cast<const char*>(data), size});
  return 0;
}
