#include "protocol/VarlinkInterface.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <nlohmann/json.hpp>

namespace quillmere::varlink {
namespace {

using enum FieldType;

constexpr std::string_view helperDescription =
    "interface com.quillmere.helper\n"
    "\n"
    "method ExecuteWireGuardCommand(command: ?string, configPath: ?string)"
    " -> (success: bool, output: ?string, error: ?string)\n"
    "method ExecuteShellScript(script: ?string)"
    " -> (success: bool, output: ?string, error: ?string)\n"
    "method GetVersion() -> (version: string)\n"
    "method UninstallHelper() -> (success: bool)\n";

constexpr std::array<FieldSpec, 3> commandResultFields{{
    {"success", Bool},
    {"output", OptionalString},
    {"error", OptionalString},
}};
constexpr std::array<FieldSpec, 2> wireGuardParameters{{
    {"command", OptionalString},
    {"configPath", OptionalString},
}};
constexpr std::array<FieldSpec, 1> scriptParameters{{{"script", OptionalString}}};
constexpr std::array<FieldSpec, 1> versionFields{{{"version", String}}};
constexpr std::array<FieldSpec, 1> uninstallFields{{{"success", Bool}}};

constexpr std::array<MethodSpec, 4> helperMethods{{
    {method::executeWireGuardCommand, wireGuardParameters, commandResultFields},
    {method::executeShellScript, scriptParameters, commandResultFields},
    {method::getVersion, {}, versionFields},
    {method::uninstallHelper, {}, uninstallFields},
}};

constexpr std::string_view serviceDescription =
    "# The Varlink Service Interface is provided by every varlink service. It\n"
    "# describes the service and the interfaces it implements.\n"
    "interface org.varlink.service\n"
    "\n"
    "# Get a list of all the interfaces a service provides and information\n"
    "# about the implementation.\n"
    "method GetInfo() -> (\n"
    "  vendor: string,\n"
    "  product: string,\n"
    "  version: string,\n"
    "  url: string,\n"
    "  interfaces: []string\n"
    ")\n"
    "\n"
    "# Get the description of an interface that is implemented by this service.\n"
    "method GetInterfaceDescription(interface: string) -> (description: string)\n"
    "\n"
    "# The requested interface was not found.\n"
    "error InterfaceNotFound (interface: string)\n"
    "\n"
    "# The requested method was not found\n"
    "error MethodNotFound (method: string)\n"
    "\n"
    "# The interface defines the requested method, but the service does not\n"
    "# implement it.\n"
    "error MethodNotImplemented (method: string)\n"
    "\n"
    "# One of the passed parameters is invalid.\n"
    "error InvalidParameter (parameter: string)\n"
    "\n"
    "# Client is denied access\n"
    "error PermissionDenied ()\n";

constexpr std::array<FieldSpec, 5> infoFields{{
    {"vendor", String},
    {"product", String},
    {"version", String},
    {"url", String},
    {"interfaces", StringArray},
}};
constexpr std::array<FieldSpec, 1> descriptionParameters{{{"interface", String}}};
constexpr std::array<FieldSpec, 1> descriptionFields{{{"description", String}}};

constexpr std::array<MethodSpec, 2> serviceMethods{{
    {method::getInfo, {}, infoFields},
    {method::getInterfaceDescription, descriptionParameters, descriptionFields},
}};

bool hasType(const nlohmann::json& value, FieldType type) {
  switch (type) {
    case Bool:
      return value.is_boolean();
    case String:
      return value.is_string();
    case OptionalString:
      return value.is_null() || value.is_string();
    case StringArray:
      return value.is_array() && std::all_of(value.begin(), value.end(),
                                             [](const auto& item) { return item.is_string(); });
  }
  return false;
}

}  // namespace

const InterfaceSpec& helperInterface() {
  static constexpr InterfaceSpec interface { helperServiceLabel, helperDescription, helperMethods };
  return interface;
}

const InterfaceSpec& serviceInterface() {
  static constexpr InterfaceSpec interface {
    serviceInterfaceName, serviceDescription, serviceMethods
  };
  return interface;
}

const InterfaceSpec* findInterface(std::string_view name) {
  for (const InterfaceSpec* known : {&serviceInterface(), &helperInterface()}) {
    if (known->name == name) {
      return known;
    }
  }
  return nullptr;
}

const MethodSpec* findMethod(const InterfaceSpec& interface, std::string_view name) {
  const auto found = std::find_if(interface.methods.begin(), interface.methods.end(),
                                  [name](const MethodSpec& method) { return method.name == name; });
  return found == interface.methods.end() ? nullptr : &*found;
}

std::string qualifiedName(const InterfaceSpec& interface, const MethodSpec& method) {
  std::string name{interface.name};
  name += '.';
  name += method.name;
  return name;
}

std::optional<std::string> findInvalidField(const nlohmann::json& object,
                                            std::span<const FieldSpec> fields) {
  static const nlohmann::json missing;
  if (!object.is_object()) {
    return std::string{};
  }
  for (const auto& member : object.items()) {
    const std::string& key = member.key();
    const auto declared = std::find_if(
        fields.begin(), fields.end(), [&key](const FieldSpec& field) { return field.name == key; });
    if (declared == fields.end()) {
      return key;
    }
  }
  for (const FieldSpec& field : fields) {
    const auto member = object.find(field.name);
    if (!hasType(member == object.end() ? missing : *member, field.type)) {
      return std::string{field.name};
    }
  }
  return std::nullopt;
}

}  // namespace quillmere::varlink
