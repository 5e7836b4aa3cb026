#include "helper/CallDispatcher.h"

#include <optional>
#include <string>
#include <string_view>

#include "helper/Helper.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere {
namespace {

using nlohmann::json;
namespace method = varlink::method;

varlink::Reply normalReply(json parameters) {
  return varlink::Reply{std::nullopt, std::move(parameters), false};
}

varlink::Reply serveVarlinkService(const varlink::MethodSpec& declared, const varlink::Call& call) {
  if (declared.name == method::getInfo) {
    return normalReply(json{
        {"vendor", "Quillmere"},
        {"product", "Quillmere Helper"},
        {"version", helperVersion},
        {"url", ""},
        {"interfaces", {varlink::serviceInterfaceName, varlink::helperInterface().name}},
    });
  }
  const std::string wanted = varlink::textParameter(call.parameters, "interface");
  if (const varlink::InterfaceSpec* interface = varlink::findInterface(wanted)) {
    return normalReply(json{{"description", interface->description}});
  }
  return varlink::errorReply(varlink::error::interfaceNotFound, json{{"interface", wanted}});
}

varlink::Reply serveHelper(const varlink::MethodSpec& declared, const varlink::Call& call,
                           HelperProtocol& helper) {
  // Operations reply exactly once and before they return; the first reply is the one kept.
  std::optional<varlink::Reply> reply;
  const auto keep = [&reply](json parameters) {
    if (!reply) {
      reply = normalReply(std::move(parameters));
    }
  };
  const HelperProtocol::CommandReply commandReply = [&keep](CommandResult result) {
    keep(varlink::commandResultParameters(std::move(result)));
  };
  const json& parameters = call.parameters;

  if (declared.name == method::executeWireGuardCommand) {
    helper.executeWireGuardCommand(varlink::textParameter(parameters, "command"),
                                   varlink::textParameter(parameters, "configPath"), commandReply);
  } else if (declared.name == method::executeShellScript) {
    helper.executeShellScript(varlink::textParameter(parameters, "script"), commandReply);
  } else if (declared.name == method::getVersion) {
    helper.getVersion([&keep](const std::string& version) { keep(json{{"version", version}}); });
  } else if (declared.name == method::uninstallHelper) {
    helper.uninstallHelper([&keep](bool success) { keep(json{{"success", success}}); });
  }

  if (!reply) {
    return varlink::errorReply(varlink::error::methodNotImplemented, json{{"method", call.method}});
  }
  return std::move(*reply);
}

}  // namespace

varlink::Reply dispatchCall(const varlink::Call& call, HelperProtocol& helper) {
  const std::size_t dot = call.method.rfind('.');
  const std::string_view interfaceName =
      dot == std::string::npos ? std::string_view{} : std::string_view{call.method}.substr(0, dot);
  const std::string_view memberName =
      dot == std::string::npos ? std::string_view{} : std::string_view{call.method}.substr(dot + 1);

  const varlink::InterfaceSpec* interface = varlink::findInterface(interfaceName);
  if (interface == nullptr) {
    return varlink::errorReply(varlink::error::interfaceNotFound,
                               json{{"interface", interfaceName}});
  }
  const varlink::MethodSpec* declared = varlink::findMethod(*interface, memberName);
  if (declared == nullptr) {
    return varlink::errorReply(varlink::error::methodNotFound, json{{"method", call.method}});
  }
  if (auto invalid = varlink::findInvalidField(call.parameters, declared->parameters)) {
    return varlink::errorReply(varlink::error::invalidParameter, json{{"parameter", *invalid}});
  }
  if (interface == &varlink::serviceInterface()) {
    return serveVarlinkService(*declared, call);
  }
  return serveHelper(*declared, call, helper);
}

}  // namespace quillmere
