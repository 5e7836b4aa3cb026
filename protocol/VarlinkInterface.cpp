#include "protocol/VarlinkInterface.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <utility>

namespace quillmere::varlink {
namespace {

using enum FieldType;

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

std::string_view typeName(FieldType type) {
  switch (type) {
    case Bool:
      return "bool";
    case String:
      return "string";
    case OptionalString:
      return "?string";
    case StringArray:
      return "[]string";
  }
  return "object";
}

void appendComment(std::string& text, std::string_view comment) {
  while (!comment.empty()) {
    const std::size_t end = std::min(comment.find('\n'), comment.size());
    text.append("# ").append(comment.substr(0, end)) += '\n';
    comment.remove_prefix(std::min(end + 1, comment.size()));
  }
}

// "(a: bool, b: ?string)", or one field to a line when there are many.
void appendFields(std::string& text, std::span<const FieldSpec> fields) {
  constexpr std::size_t mostOnOneLine = 4;
  const bool oneLine = fields.size() <= mostOnOneLine;
  text += '(';
  for (std::size_t index = 0; index < fields.size(); ++index) {
    text += oneLine ? (index == 0 ? "" : ", ") : (index == 0 ? "\n  " : ",\n  ");
    text.append(fields[index].name).append(": ").append(typeName(fields[index].type));
  }
  text += oneLine ? ")" : "\n)";
}

// Documented members stand apart from the one before them.
void appendMember(std::string& text, std::string_view comment, bool first) {
  if (!comment.empty() && !first) {
    text += '\n';
  }
  appendComment(text, comment);
}

}  // namespace

std::string interfaceDescription(const InterfaceSpec& interface) {
  std::string text;
  appendComment(text, interface.comment);
  text.append("interface ").append(interface.name).append("\n\n");
  bool first = true;
  for (const MethodSpec& method : interface.methods) {
    appendMember(text, method.comment, std::exchange(first, false));
    text.append("method ").append(method.name);
    appendFields(text, method.parameters);
    text += " -> ";
    appendFields(text, method.replyFields);
    text += '\n';
  }
  for (const ErrorSpec& error : interface.errors) {
    appendMember(text, error.comment, std::exchange(first, false));
    text.append("error ").append(error.name.substr(interface.name.size() + 1)).append(" ");
    appendFields(text, error.fields);
    text += '\n';
  }
  return text;
}

const InterfaceSpec* findInterface(std::string_view name) {
  for (const InterfaceSpec* known : servedInterfaces) {
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

std::string qualifiedName(std::string_view interfaceName, std::string_view memberName) {
  std::string name{interfaceName};
  name += '.';
  name += memberName;
  return name;
}

QualifiedName splitQualifiedName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    return {};
  }
  return {name.substr(0, dot), name.substr(dot + 1)};
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
