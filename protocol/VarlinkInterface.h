#pragma once

#include <algorithm>
#include <array>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/HelperNames.h"

namespace quillmere::varlink {

// The two interfaces the helper serves, declared once: the daemon checks calls against these
// tables, the client checks replies against them, and the interface text that generic tools
// read is written from them.

enum class FieldType { Bool, String, OptionalString, StringArray };

struct FieldSpec {
  std::string_view name;
  FieldType type;
};

struct MethodSpec {
  std::string_view name;  // unqualified, e.g. "GetVersion"
  std::span<const FieldSpec> parameters;
  std::span<const FieldSpec> replyFields;
  std::string_view comment = {};  // lines of documentation, without their "# "
};

struct ErrorSpec {
  std::string_view name;  // qualified, e.g. "org.varlink.service.InvalidParameter"
  std::span<const FieldSpec> fields;
  std::string_view comment = {};
};

struct InterfaceSpec {
  std::string_view name;
  std::span<const MethodSpec> methods;
  std::span<const ErrorSpec> errors = {};
  std::string_view comment = {};
};

inline constexpr std::string_view serviceInterfaceName = "org.varlink.service";

namespace method {
inline constexpr std::string_view executeWireGuardCommand = "ExecuteWireGuardCommand";
inline constexpr std::string_view executeShellScript = "ExecuteShellScript";
inline constexpr std::string_view getVersion = "GetVersion";
inline constexpr std::string_view uninstallHelper = "UninstallHelper";
inline constexpr std::string_view getInfo = "GetInfo";
inline constexpr std::string_view getInterfaceDescription = "GetInterfaceDescription";
}  // namespace method

namespace error {
inline constexpr std::string_view interfaceNotFound = "org.varlink.service.InterfaceNotFound";
inline constexpr std::string_view methodNotFound = "org.varlink.service.MethodNotFound";
inline constexpr std::string_view methodNotImplemented = "org.varlink.service.MethodNotImplemented";
inline constexpr std::string_view invalidParameter = "org.varlink.service.InvalidParameter";
inline constexpr std::string_view permissionDenied = "org.varlink.service.PermissionDenied";
}  // namespace error

namespace declaration {

using enum FieldType;

inline constexpr std::array<FieldSpec, 3> commandResultFields{{
    {"success", Bool},
    {"output", OptionalString},
    {"error", OptionalString},
}};
inline constexpr std::array<FieldSpec, 2> wireGuardParameters{{
    {"command", OptionalString},
    {"configPath", OptionalString},
}};
inline constexpr std::array<FieldSpec, 1> scriptParameters{{{"script", OptionalString}}};
inline constexpr std::array<FieldSpec, 1> versionFields{{{"version", String}}};
inline constexpr std::array<FieldSpec, 1> uninstallFields{{{"success", Bool}}};

inline constexpr std::array<MethodSpec, 4> helperMethods{{
    {method::executeWireGuardCommand, wireGuardParameters, commandResultFields},
    {method::executeShellScript, scriptParameters, commandResultFields},
    {method::getVersion, {}, versionFields},
    {method::uninstallHelper, {}, uninstallFields},
}};

inline constexpr std::array<FieldSpec, 5> infoFields{{
    {"vendor", String},
    {"product", String},
    {"version", String},
    {"url", String},
    {"interfaces", StringArray},
}};
inline constexpr std::array<FieldSpec, 1> interfaceField{{{"interface", String}}};
inline constexpr std::array<FieldSpec, 1> descriptionFields{{{"description", String}}};
inline constexpr std::array<FieldSpec, 1> methodField{{{"method", String}}};
inline constexpr std::array<FieldSpec, 1> parameterField{{{"parameter", String}}};

// The standard service interface, with the documentation every Varlink service serves.
inline constexpr std::array<MethodSpec, 2> serviceMethods{{
    {method::getInfo,
     {},
     infoFields,
     "Get a list of all the interfaces a service provides and information\n"
     "about the implementation."},
    {method::getInterfaceDescription, interfaceField, descriptionFields,
     "Get the description of an interface that is implemented by this service."},
}};
inline constexpr std::array<ErrorSpec, 5> serviceErrors{{
    {error::interfaceNotFound, interfaceField, "The requested interface was not found."},
    {error::methodNotFound, methodField, "The requested method was not found"},
    {error::methodNotImplemented, methodField,
     "The interface defines the requested method, but the service does not\nimplement it."},
    {error::invalidParameter, parameterField, "One of the passed parameters is invalid."},
    {error::permissionDenied, {}, "Client is denied access"},
}};

inline constexpr InterfaceSpec helper{helperServiceLabel, helperMethods};
inline constexpr InterfaceSpec service{
    serviceInterfaceName, serviceMethods, serviceErrors,
    "The Varlink Service Interface is provided by every varlink service. It\n"
    "describes the service and the interfaces it implements."};

// An error's name is its interface's name, a dot and its own.
static_assert(std::ranges::all_of(serviceErrors, [](const ErrorSpec& declared) {
  return declared.name.starts_with(serviceInterfaceName) &&
         declared.name.substr(serviceInterfaceName.size()).starts_with('.');
}));

}  // namespace declaration

constexpr const InterfaceSpec& helperInterface() { return declaration::helper; }
constexpr const InterfaceSpec& serviceInterface() { return declaration::service; }

// The interfaces the helper serves, in the order GetInfo lists them.
inline constexpr std::array<const InterfaceSpec*, 2> servedInterfaces{&declaration::service,
                                                                      &declaration::helper};

// The interface of that name among the two the helper serves, or nothing.
const InterfaceSpec* findInterface(std::string_view name);

const MethodSpec* findMethod(const InterfaceSpec& interface, std::string_view name);

// The interface definition text served to generic tools (GetInterfaceDescription), written
// from the declaration: its documentation as "# " lines, a blank line before each documented
// member, and a field list of more than four fields one field to a line.
std::string interfaceDescription(const InterfaceSpec& interface);

// "com.quillmere.helper" + "GetVersion" -> "com.quillmere.helper.GetVersion".
std::string qualifiedName(std::string_view interfaceName, std::string_view memberName);

// "com.quillmere.helper.GetVersion" -> {"com.quillmere.helper", "GetVersion"}; a name without a
// dot has neither part.
struct QualifiedName {
  std::string_view interfaceName;
  std::string_view memberName;
};
QualifiedName splitQualifiedName(std::string_view name);

// A method name in the helper's own interface, as callers send it.
inline std::string helperMethodName(std::string_view memberName) {
  return qualifiedName(helperInterface().name, memberName);
}

// Checks a parameters or reply object against its declaration. Returns the name of the first
// member that is undeclared or of the wrong type, or of a required member that is missing.
// A member that is null or missing reads as null, which only optional fields accept.
std::optional<std::string> findInvalidField(const nlohmann::json& object,
                                            std::span<const FieldSpec> fields);

}  // namespace quillmere::varlink
