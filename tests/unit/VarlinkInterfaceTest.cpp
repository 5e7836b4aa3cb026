#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "protocol/VarlinkInterface.h"
#include "tests/support/CaseName.h"

namespace quillmere::varlink {
namespace {

using nlohmann::json;

std::string typeName(FieldType type) {
  switch (type) {
    case FieldType::Bool:
      return "bool";
    case FieldType::String:
      return "string";
    case FieldType::OptionalString:
      return "?string";
    case FieldType::StringArray:
      return "[]string";
  }
  return "?";
}

std::string fieldList(std::span<const FieldSpec> fields) {
  std::string list;
  for (const FieldSpec& field : fields) {
    list += (list.empty() ? "" : ", ") + std::string{field.name} + ": " + typeName(field.type);
  }
  return list;
}

// The table the daemon checks calls against must say what the interface text says.
TEST(VarlinkInterfaceTest, DeclarationTableMatchesTheInterfaceText) {
  const InterfaceSpec& interface = helperInterface();
  std::istringstream text{interfaceDescription(interface)};
  std::string line;
  std::getline(text, line);
  EXPECT_EQ(line, "interface com.quillmere.helper");

  std::size_t index = 0;
  while (std::getline(text, line)) {
    if (line.empty()) {
      continue;
    }
    // "method Name(parameters) -> (reply fields)"
    const std::size_t open = line.find('(');
    const std::size_t arrow = line.find(") -> (");
    ASSERT_TRUE(line.starts_with("method ") && open != std::string::npos &&
                arrow != std::string::npos && line.ends_with(")"))
        << line;
    ASSERT_LT(index, interface.methods.size());
    const MethodSpec& method = interface.methods[index++];
    EXPECT_EQ(line.substr(7, open - 7), method.name);
    EXPECT_EQ(line.substr(open + 1, arrow - open - 1), fieldList(method.parameters));
    EXPECT_EQ(line.substr(arrow + 6, line.size() - arrow - 7), fieldList(method.replyFields));
  }
  EXPECT_EQ(index, interface.methods.size());
}

TEST(VarlinkInterfaceTest, InterfaceTextIsTheWireContract) {
  EXPECT_EQ(interfaceDescription(helperInterface()),
            "interface com.quillmere.helper\n"
            "\n"
            "method ExecuteWireGuardCommand(command: ?string, configPath: ?string) -> (success: "
            "bool, output: ?string, error: ?string)\n"
            "method ExecuteShellScript(script: ?string) -> (success: bool, output: ?string, error: "
            "?string)\n"
            "method GetVersion() -> (version: string)\n"
            "method UninstallHelper() -> (success: bool)\n");
}

// Generic tools read the standard service interface's text as every Varlink service serves it.
TEST(VarlinkInterfaceTest, ServiceInterfaceTextIsTheStandardOne) {
  EXPECT_EQ(interfaceDescription(serviceInterface()),
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
            "error PermissionDenied ()\n");
}

struct FieldCase {
  const char* name;
  json object;
  std::optional<std::string> invalid;
};

class FindInvalidFieldTest : public testing::TestWithParam<FieldCase> {};

TEST_P(FindInvalidFieldTest, NamesTheFirstBadField) {
  static constexpr std::array<FieldSpec, 3> fields{{
      {"flag", FieldType::Bool},
      {"name", FieldType::String},
      {"note", FieldType::OptionalString},
  }};
  EXPECT_EQ(findInvalidField(GetParam().object, fields), GetParam().invalid);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, FindInvalidFieldTest,
    testing::Values(
        FieldCase{"AllPresent", {{"flag", true}, {"name", "n"}, {"note", "x"}}, std::nullopt},
        FieldCase{"OptionalNull", {{"flag", false}, {"name", ""}, {"note", nullptr}}, std::nullopt},
        FieldCase{"OptionalMissing", {{"flag", false}, {"name", ""}}, std::nullopt},
        FieldCase{"RequiredMissing", {{"flag", false}}, "name"},
        FieldCase{"RequiredNull", {{"flag", false}, {"name", nullptr}}, "name"},
        FieldCase{"WrongTypeBool", {{"flag", 1}, {"name", ""}}, "flag"},
        FieldCase{"WrongTypeOptional", {{"flag", true}, {"name", ""}, {"note", 3}}, "note"},
        FieldCase{"ObjectForString", {{"flag", true}, {"name", json::object()}}, "name"},
        FieldCase{"Undeclared", {{"flag", true}, {"name", ""}, {"extra", 1}}, "extra"},
        FieldCase{"NotAnObject", json::array(), std::string{}}),
    testing_support::CaseName{});

TEST(VarlinkInterfaceTest, FindsMethodsByExactName) {
  ASSERT_NE(findMethod(helperInterface(), "GetVersion"), nullptr);
  EXPECT_EQ(findMethod(helperInterface(), "getVersion"), nullptr);
  EXPECT_EQ(findMethod(helperInterface(), ""), nullptr);
  EXPECT_EQ(
      qualifiedName(helperInterface().name, findMethod(helperInterface(), "GetVersion")->name),
      "com.quillmere.helper.GetVersion");
}

// The member is what follows the last dot: interface names have dots of their own.
TEST(VarlinkInterfaceTest, SplitsAQualifiedNameAtItsLastDot) {
  using Parts = std::pair<std::string, std::string>;
  const auto parts = [](std::string_view name) {
    const QualifiedName split = splitQualifiedName(name);
    return Parts{split.interfaceName, split.memberName};
  };
  EXPECT_EQ(parts("com.quillmere.helper.GetVersion"),
            (Parts{"com.quillmere.helper", "GetVersion"}));
  EXPECT_EQ(parts("GetVersion"), (Parts{"", ""}));
  EXPECT_EQ(parts("com.quillmere.helper."), (Parts{"com.quillmere.helper", ""}));
  EXPECT_EQ(parts(helperMethodName("GetVersion")), parts("com.quillmere.helper.GetVersion"));
}

}  // namespace
}  // namespace quillmere::varlink
