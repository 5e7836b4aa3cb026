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
  std::vector<std::string> expectedLog = helper.logLines();
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
  // Each script waits for the other's file, so they can only finish if they run together.
  const std::string waitForBoth =
      "n=0; while [ $(ls /tmp | grep -c '^quillmere-') -lt 2 ] && [ $n -lt 500 ]; do "
      "sleep 0.01; n=$((n+1)); done; ls /tmp | grep -c '^quillmere-'; echo ";
  ASSERT_TRUE(first.send(helperCall("ExecuteShellScript", {{"script", waitForBoth + "one"}})));
  ASSERT_TRUE(second.send(helperCall("ExecuteShellScript", {{"script", waitForBoth + "two"}})));
  EXPECT_EQ(first.receive(), commandReply(true, "2\none", nullptr));
  EXPECT_EQ(second.receive(), commandReply(true, "2\ntwo", nullptr));
  EXPECT_TRUE(scriptFiles(helper).empty());
}

}  // namespace
}  // namespace quillmere::testing_support
