// ExecuteShellScript through the real daemon in its sandbox: the reply on the wire, the log, the
// temporary directory, and scripts that outlive their caller.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/SandboxedHelper.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view executingLine = "Quillmere Helper: Executing shell script";
constexpr std::string_view successLine = "Quillmere Helper: Script executed successfully";

json commandReply(bool success, json output, json error) {
  return json{{"parameters", {{"success", success}, {"output", output}, {"error", error}}}};
}

class ScriptCallTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
  }

  // The script files the daemon left in its temporary directory.
  static std::vector<std::string> scriptFiles(const SandboxedHelper& helper) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(helper.hostPath("/tmp"))) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
};

TEST_F(ScriptCallTest, RepliesOnTheWireWithNullAndEmptyKeptApart) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  // Before connecting: the acceptance line may be written before the first call is sent.
  std::vector<std::string> expectedLog = helper.logLines();
  VarlinkTestClient client{helper.socketPath()};
  const struct {
    json parameters;
    json reply;
    std::string closingLine;
  } cases[] = {
      {{{"script", "echo hi; echo dropped >&2"}},
       commandReply(true, "hi", nullptr),
       std::string{successLine}},
      {{{"script", nullptr}}, commandReply(true, "", nullptr), std::string{successLine}},
      {json::object(), commandReply(true, "", nullptr), std::string{successLine}},
      {{{"script", "exit 3"}},
       commandReply(false, "", ""),
       "Quillmere Helper: Script failed with status 3"},
      {{{"script", "printf '\\377'; echo ' why ' >&2; exit 2"}},
       commandReply(false, nullptr, "why"),
       "Quillmere Helper: Script failed with status 2"},
      {{{"script", "echo \"$0\" | grep -c '^/tmp/quillmere-'"}},
       commandReply(true, "1", nullptr),
       std::string{successLine}},
  };
  expectedLog.push_back("Quillmere Helper: New connection accepted");
  for (const auto& c : cases) {
    EXPECT_EQ(client.call(helperCall("ExecuteShellScript", c.parameters)), c.reply) << c.parameters;
    expectedLog.emplace_back(executingLine);
    expectedLog.push_back(c.closingLine);
  }
  EXPECT_EQ(helper.logLines(), expectedLog) << "two lines per call, in order";
  EXPECT_TRUE(scriptFiles(helper).empty());
}

TEST_F(ScriptCallTest, ReadOnlyTemporaryDirectoryTakesTheFailurePath) {
  SandboxedHelper helper{SandboxOptions{.setup = {"mount -o remount,ro /tmp"}}};
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};
  const auto reply = client.call(helperCall("ExecuteShellScript", {{"script", "echo never"}}));
  ASSERT_TRUE(reply);
  const json& parameters = (*reply)["parameters"];
  EXPECT_EQ(parameters["success"], false);
  EXPECT_EQ(parameters["output"], nullptr);
  const std::string error = parameters["error"];
  const std::string replyPrefix = "Failed to execute script: ";
  ASSERT_TRUE(error.starts_with(replyPrefix)) << error;
  const std::string description = error.substr(replyPrefix.size());
  EXPECT_TRUE(description.starts_with("Could not write the script file /tmp/quillmere-"))
      << description;
  EXPECT_TRUE(description.ends_with(".sh: Read-only file system")) << description;
  EXPECT_EQ(helper.countLogLines("Quillmere Helper: Error executing script: " + description), 1u);
  EXPECT_EQ(helper.countLogLines(executingLine), 1u);
}

TEST_F(ScriptCallTest, ScriptOutlivesACallerThatHangsUp) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  {
    VarlinkTestClient client{helper.socketPath()};
    ASSERT_TRUE(client.send(helperCall("ExecuteShellScript",
                                       {{"script", "sleep 0.5; echo done > /run/script-marker"}})));
    ASSERT_TRUE(helper.waitForLogLine(executingLine));
  }  // the caller hangs up while the script sleeps

  EXPECT_TRUE(helper.waitForLogLine(successLine));
  EXPECT_TRUE(fs::exists(helper.hostPath("/run/script-marker")));
  EXPECT_TRUE(scriptFiles(helper).empty()) << "its file is removed all the same";

  // The daemon goes on serving.
  VarlinkTestClient next{helper.socketPath()};
  EXPECT_EQ(next.call(helperCall("ExecuteShellScript", {{"script", "echo next"}})),
            commandReply(true, "next", nullptr));
}

TEST_F(ScriptCallTest, CallsOnTwoConnectionsRunAtTheSameTime) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient first{helper.socketPath()};
  VarlinkTestClient second{helper.socketPath()};
  // Each script marks that it runs and waits for the other's mark: both can only see both
  // marks if they run at the same time.
  const auto script = [](const std::string& self) {
    return "touch /run/running-" + self +
           "; n=0; while [ ! -e /run/running-one ] || [ ! -e /run/running-two ]; do "
           "[ $n -ge 1000 ] && exit 1; sleep 0.01; n=$((n+1)); done; echo \"" +
           self + " $0\"";
  };
  ASSERT_TRUE(first.send(helperCall("ExecuteShellScript", {{"script", script("one")}})));
  ASSERT_TRUE(second.send(helperCall("ExecuteShellScript", {{"script", script("two")}})));
  std::vector<std::string> outputs;
  for (VarlinkTestClient* client : {&first, &second}) {
    const auto reply = client->receive();
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)["parameters"]["success"], true) << *reply;
    outputs.push_back((*reply)["parameters"]["output"]);
  }
  ASSERT_TRUE(outputs[0].starts_with("one /tmp/quillmere-")) << outputs[0];
  ASSERT_TRUE(outputs[1].starts_with("two /tmp/quillmere-")) << outputs[1];
  EXPECT_NE(outputs[0].substr(4), outputs[1].substr(4)) << "each call has a file of its own";
  EXPECT_TRUE(scriptFiles(helper).empty());
}

}  // namespace
}  // namespace quillmere::testing_support
