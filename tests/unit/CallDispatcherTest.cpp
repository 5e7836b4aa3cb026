#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "helper/CallDispatcher.h"
#include "protocol/VarlinkInterface.h"
#include "tests/support/CaseName.h"

namespace quillmere {
namespace {

using nlohmann::json;
using testing::_;
using testing::Invoke;
using testing::StrictMock;

class MockHelper : public HelperProtocol {
 public:
  MOCK_METHOD(void, executeWireGuardCommand,
              (const std::string&, const std::string&, const CommandReply&), (override));
  MOCK_METHOD(void, executeShellScript, (const std::string&, const CommandReply&), (override));
  MOCK_METHOD(void, getVersion, (const VersionReply&), (override));
  MOCK_METHOD(void, uninstallHelper, (const UninstallReply&), (override));
};

json dispatch(const std::string& callText, HelperProtocol& helper) {
  const auto decoded = varlink::decodeCall(callText);
  EXPECT_TRUE(std::holds_alternative<varlink::Call>(decoded)) << callText;
  return json::parse(
      varlink::encodeReply(dispatchCall(std::get<varlink::Call>(decoded), helper)).text());
}

// Calls refused before any operation runs: the strict mock fails the test if one is called.
struct RefusalCase {
  const char* name;
  std::string call;
  json reply;
};

class RefusedCallTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedCallTest, AnswersWithTheStandardErrorAndRunsNothing) {
  StrictMock<MockHelper> helper;
  EXPECT_EQ(dispatch(GetParam().call, helper), GetParam().reply);
}

json error(const char* name, json parameters) {
  return json{{"error", std::string{"org.varlink.service."} + name}, {"parameters", parameters}};
}

INSTANTIATE_TEST_SUITE_P(
    Calls, RefusedCallTest,
    testing::Values(
        RefusalCase{"UnknownInterface", R"({"method":"com.example.Thing.Do"})",
                    error("InterfaceNotFound", {{"interface", "com.example.Thing"}})},
        RefusalCase{"NoInterfaceAtAll", R"({"method":"GetVersion"})",
                    error("InterfaceNotFound", {{"interface", ""}})},
        RefusalCase{"UnknownMethod", R"({"method":"com.quillmere.helper.Reboot"})",
                    error("MethodNotFound", {{"method", "com.quillmere.helper.Reboot"}})},
        RefusalCase{"MethodNameIsCaseSensitive", R"({"method":"com.quillmere.helper.getVersion"})",
                    error("MethodNotFound", {{"method", "com.quillmere.helper.getVersion"}})},
        RefusalCase{
            "ScriptNotAString",
            R"({"method":"com.quillmere.helper.ExecuteShellScript","parameters":{"script":1}})",
            error("InvalidParameter", {{"parameter", "script"}})},
        RefusalCase{"ConfigPathAnArray",
                    R"({"method":"com.quillmere.helper.ExecuteWireGuardCommand",)"
                    R"("parameters":{"command":"up","configPath":["/x"]}})",
                    error("InvalidParameter", {{"parameter", "configPath"}})},
        RefusalCase{"UndeclaredParameter",
                    R"({"method":"com.quillmere.helper.GetVersion","parameters":{"verbose":true}})",
                    error("InvalidParameter", {{"parameter", "verbose"}})},
        RefusalCase{"DescriptionOfUnknownInterface",
                    R"({"method":"org.varlink.service.GetInterfaceDescription",)"
                    R"("parameters":{"interface":"com.example"}})",
                    error("InterfaceNotFound", {{"interface", "com.example"}})},
        RefusalCase{"DescriptionWithoutInterface",
                    R"({"method":"org.varlink.service.GetInterfaceDescription"})",
                    error("InvalidParameter", {{"parameter", "interface"}})}),
    testing_support::CaseName{});

TEST(CallDispatcherTest, ServesTheVarlinkServiceInterface) {
  StrictMock<MockHelper> helper;
  const json info = dispatch(R"({"method":"org.varlink.service.GetInfo"})", helper);
  EXPECT_EQ(info["parameters"]["version"], "1.0.0");
  EXPECT_EQ(info["parameters"]["interfaces"],
            json::array({"org.varlink.service", "com.quillmere.helper"}));
  EXPECT_TRUE(varlink::findInvalidField(
                  info["parameters"],
                  varlink::findMethod(varlink::serviceInterface(), "GetInfo")->replyFields) ==
              std::nullopt);

  const json description = dispatch(
      R"({"method":"org.varlink.service.GetInterfaceDescription","parameters":{"interface":"com.quillmere.helper"}})",
      helper);
  EXPECT_EQ(description["parameters"]["description"], varlink::interfaceDescription(varlink::helperInterface()));
}

TEST(CallDispatcherTest, PassesTextArgumentsWithNullAndMissingAsEmpty) {
  StrictMock<MockHelper> helper;
  EXPECT_CALL(helper, executeWireGuardCommand("up", "", _))
      .Times(2)
      .WillRepeatedly(Invoke([](auto&, auto&, const auto& reply) {
        reply({true, "", {}});
      }));
  EXPECT_CALL(helper, executeShellScript("", _)).WillOnce(Invoke([](auto&, const auto& reply) {
    reply({true, "", {}});
  }));

  dispatch(
      R"({"method":"com.quillmere.helper.ExecuteWireGuardCommand","parameters":{"command":"up","configPath":null}})",
      helper);
  dispatch(
      R"({"method":"com.quillmere.helper.ExecuteWireGuardCommand","parameters":{"command":"up"}})",
      helper);
  dispatch(R"({"method":"com.quillmere.helper.ExecuteShellScript"})", helper);
}

TEST(CallDispatcherTest, RepliesCarryEachOperationsValues) {
  StrictMock<MockHelper> helper;
  EXPECT_CALL(helper, executeShellScript("echo hi", _))
      .WillOnce(Invoke([](auto&, const auto& reply) {
        reply({false, "", std::nullopt});
      }));
  EXPECT_CALL(helper, getVersion(_)).WillOnce(Invoke([](const auto& reply) { reply("1.0.0"); }));
  EXPECT_CALL(helper, uninstallHelper(_)).WillOnce(Invoke([](const auto& reply) { reply(true); }));

  EXPECT_EQ(
      dispatch(
          R"({"method":"com.quillmere.helper.ExecuteShellScript","parameters":{"script":"echo hi"}})",
          helper),
      json({{"parameters", {{"success", false}, {"output", ""}, {"error", nullptr}}}}));
  EXPECT_EQ(dispatch(R"({"method":"com.quillmere.helper.GetVersion"})", helper),
            json({{"parameters", {{"version", "1.0.0"}}}}));
  EXPECT_EQ(dispatch(R"({"method":"com.quillmere.helper.UninstallHelper"})", helper),
            json({{"parameters", {{"success", true}}}}));
}

TEST(CallDispatcherTest, KeepsTheFirstReplyAndNeverLeavesACallUnanswered) {
  StrictMock<MockHelper> helper;
  EXPECT_CALL(helper, getVersion(_)).WillOnce(Invoke([](const auto& reply) {
    reply("first");
    reply("second");
  }));
  EXPECT_CALL(helper, executeShellScript(_, _)).WillOnce(Invoke([](auto&, auto&) {}));

  EXPECT_EQ(dispatch(R"({"method":"com.quillmere.helper.GetVersion"})", helper),
            json({{"parameters", {{"version", "first"}}}}));
  EXPECT_EQ(dispatch(R"({"method":"com.quillmere.helper.ExecuteShellScript"})", helper),
            error("MethodNotImplemented", {{"method", "com.quillmere.helper.ExecuteShellScript"}}));
}

}  // namespace
}  // namespace quillmere
