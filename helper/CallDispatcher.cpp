#include "helper/CallDispatcher.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/HelperNames.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere {
namespace {

using nlohmann::json;
namespace method = varlink::method;

varlink::Reply normalReply(json parameters) {
  return varlink::Reply{std::nullopt, std::move(parameters), false};
}

// Holds what an operation replies. Operations reply exactly once and before they return; should
// one reply twice, the first reply is the one kept, and should it not reply at all, the call
// still gets an answer.
class ReplyOnce {
 public:
  explicit ReplyOnce(const varlink::Call& call) : call_(call) {}

  void operator()(json parameters) {
    if (!reply_) {
      reply_ = normalReply(std::move(parameters));
    }
  }
  HelperProtocol::CommandReply forCommand() {
    return [this](CommandResult result) {
      (*this)(varlink::commandResultParameters(std::move(result)));
    };
  }
  varlink::Reply take() && {
    if (!reply_) {
      return varlink::errorReply(varlink::error::methodNotImplemented,
                                 json{{"method", call_.method}});
    }
    return std::move(*reply_);
  }

 private:
  const varlink::Call& call_;
  std::optional<varlink::Reply> reply_;
};

std::string text(const varlink::Call& call, const char* name) {
  return varlink::textParameter(call.parameters, name);
}

varlink::Reply serveWireGuardCommand(const varlink::Call& call, HelperProtocol& helper) {
  ReplyOnce reply{call};
  helper.executeWireGuardCommand(text(call, "command"), text(call, "configPath"),
                                 reply.forCommand());
  return std::move(reply).take();
}

varlink::Reply serveShellScript(const varlink::Call& call, HelperProtocol& helper) {
  ReplyOnce reply{call};
  helper.executeShellScript(text(call, "script"), reply.forCommand());
  return std::move(reply).take();
}

varlink::Reply serveVersion(const varlink::Call& call, HelperProtocol& helper) {
  ReplyOnce reply{call};
  helper.getVersion([&reply](const std::string& version) { reply(json{{"version", version}}); });
  return std::move(reply).take();
}

varlink::Reply serveUninstall(const varlink::Call& call, HelperProtocol& helper) {
  ReplyOnce reply{call};
  helper.uninstallHelper([&reply](bool success) { reply(json{{"success", success}}); });
  return std::move(reply).take();
}

varlink::Reply serveInfo(const varlink::Call&, HelperProtocol&) {
  json interfaces = json::array();
  for (const varlink::InterfaceSpec* served : varlink::servedInterfaces) {
    interfaces.push_back(served->name);
  }
  return normalReply(json{
      {"vendor", helperVendor},
      {"product", helperProduct},
      {"version", helperVersion},
      {"url", ""},
      {"interfaces", std::move(interfaces)},
  });
}

varlink::Reply serveInterfaceDescription(const varlink::Call& call, HelperProtocol&) {
  const std::string wanted = text(call, "interface");
  if (const varlink::InterfaceSpec* interface = varlink::findInterface(wanted)) {
    return normalReply(json{{"description", varlink::interfaceDescription(*interface)}});
  }
  return varlink::errorReply(varlink::error::interfaceNotFound, json{{"interface", wanted}});
}

// What serves each declared method, in the order of the declaration. Called only with
// parameters already checked against it.
struct BoundMethod {
  std::string_view name;
  varlink::Reply (*serve)(const varlink::Call&, HelperProtocol&);
};

constexpr std::array<BoundMethod, 4> helperBindings{{
    {method::executeWireGuardCommand, serveWireGuardCommand},
    {method::executeShellScript, serveShellScript},
    {method::getVersion, serveVersion},
    {method::uninstallHelper, serveUninstall},
}};

constexpr std::array<BoundMethod, 2> serviceBindings{{
    {method::getInfo, serveInfo},
    {method::getInterfaceDescription, serveInterfaceDescription},
}};

// A method declared and not bound, or bound and not declared, does not compile.
constexpr bool bindsEachDeclaredMethod(std::span<const BoundMethod> bindings,
                                       const varlink::InterfaceSpec& interface) {
  return std::ranges::equal(bindings, interface.methods, {}, &BoundMethod::name,
                            &varlink::MethodSpec::name);
}
static_assert(bindsEachDeclaredMethod(helperBindings, varlink::helperInterface()));
static_assert(bindsEachDeclaredMethod(serviceBindings, varlink::serviceInterface()));

std::span<const BoundMethod> bindingsOf(const varlink::InterfaceSpec& interface) {
  if (&interface == &varlink::serviceInterface()) {
    return serviceBindings;
  }
  return helperBindings;
}

}  // namespace

varlink::Reply dispatchCall(const varlink::Call& call, HelperProtocol& helper) {
  const auto [interfaceName, memberName] = varlink::splitQualifiedName(call.method);

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
  const auto position = static_cast<std::size_t>(declared - interface->methods.data());
  return bindingsOf(*interface)[position].serve(call, helper);
}

}  // namespace quillmere
