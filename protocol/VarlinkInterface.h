#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/HelperNames.h"

namespace quillmere::varlink {

enum class FieldType { Bool, String, OptionalString, StringArray };

struct FieldSpec {
  std::string_view name;
  FieldType type;
};

struct MethodSpec {
  std::string_view name;  // unqualified, e.g. "GetVersion"
  std::span<const FieldSpec> parameters;
  std::span<const FieldSpec> replyFields;
};

struct InterfaceSpec {
  std::string_view name;
  std::string_view description;  // the interface definition text served to generic tools
  std::span<const MethodSpec> methods;
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

const InterfaceSpec& helperInterface();
const InterfaceSpec& serviceInterface();

// The interface of that name among the two the helper serves, or nothing.
const InterfaceSpec* findInterface(std::string_view name);

const MethodSpec* findMethod(const InterfaceSpec& interface, std::string_view name);

// "com.quillmere.helper" + "GetVersion" -> "com.quillmere.helper.GetVersion".
std::string qualifiedName(const InterfaceSpec& interface, const MethodSpec& method);

// Checks a parameters or reply object against its declaration. Returns the name of the first
// member that is undeclared or of the wrong type, or of a required member that is missing.
// A member that is null or missing reads as null, which only optional fields accept.
std::optional<std::string> findInvalidField(const nlohmann::json& object,
                                            std::span<const FieldSpec> fields);

}  // namespace quillmere::varlink
