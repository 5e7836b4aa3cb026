// The real quillmere-cli in the sandbox, at the helper's fixed socket path: against no helper,
// the real daemon, a refusing daemon and a misbehaving stand-in. Every run must print only on
// standard output and end with status 0 or 1.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "protocol/HelperNames.h"
#include "tests/support/CaseName.h"
#include "tests/support/SandboxedHelper.h"

namespace quillmere::testing_support {
namespace {

using nlohmann::json;
using Words = std::vector<std::string>;

const std::string usage =
    "Quillmere Helper Client\n\nUsage:\n  quillmere-cli <command> [arguments]\n\nCommands:\n"
    "  wg-up <config-path>       - Bring up WireGuard interface\n"
    "  wg-down <config-path>     - Bring down WireGuard interface\n"
    "  exec <script>             - Execute shell script\n"
    "  version                   - Get helper version\n"
    "  check                     - Check if helper is installed\n"
    "  install                   - Install the helper (requires admin)\n";
const std::string invalidated = "ERROR: Connection to helper invalidated\n";
const std::string interrupted = "ERROR: Connection to helper interrupted\n";
const std::string unreachable =
    "ERROR: Failed to connect to helper: cannot reach the helper at "
    "/run/com.quillmere.helper.sock: ";

std::string shellQuoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    quoted += c == '\'' ? std::string{"'\\''"} : std::string{c};
  }
  return quoted + "'";
}

// Sandbox set-up lines that start the stand-in helper on the fixed socket, recording each call
// in /run/calls, and wait until it listens.
std::vector<std::string> fakeHelper(const Words& steps) {
  std::string command =
      SandboxedHelper::insideBinary("quillmere-fake-helper") + " --record /run/calls";
  for (const auto& step : steps) {
    command += ' ';
    command += shellQuoted(step);
  }
  return {command + " &",
          "while [ ! -S " + std::string{helperSocketPath} + " ]; do sleep 0.01; done"};
}

struct Expected {
  // A constructor rather than an aggregate: GCC 12 takes the members of a half-built aggregate
  // in a case table for "maybe uninitialized".
  Expected(std::string output, int exitStatus)
      : standardOutput{std::move(output)}, status{exitStatus} {}
  std::string standardOutput;
  int status;
};

class ClientTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
  }

  // Runs quillmere-cli with `args` inside the sandbox, as `identity` (setpriv options) if given.
  static platform::ProcessOutcome runCli(const SandboxedHelper& sandbox, const Words& args,
                                         const Words& identity = {}) {
    Words command;
    if (!identity.empty()) {
      command.push_back("/usr/bin/setpriv");
      command.insert(command.end(), identity.begin(), identity.end());
    }
    command.push_back(SandboxedHelper::insideBinary("quillmere-cli"));
    command.insert(command.end(), args.begin(), args.end());
    return sandbox.runInside(command);
  }

  static void expectRun(const SandboxedHelper& sandbox, const Words& args, const Expected& expected,
                        const Words& identity = {}) {
    const auto outcome = runCli(sandbox, args, identity);
    const std::string shown = args.empty() ? "(no arguments)" : args.front();
    EXPECT_EQ(outcome.standardOutput, expected.standardOutput) << shown;
    EXPECT_EQ(outcome.status, expected.status) << shown;
    EXPECT_EQ(outcome.standardError, "") << shown;
  }
};

TEST_F(ClientTest, CommandLinesThatSendNothing) {
  // No helper at all: a command that tried to reach one would print the invalidation line.
  SandboxedHelper sandbox{
      SandboxOptions{.startHelper = false, .setup = {SandboxedHelper::emptyInstallDirectory()}}};
  ASSERT_TRUE(sandbox.started());
  const struct {
    Words args;
    Expected expected;
  } cases[] = {
      {{}, {usage, 1}},
      {{"wg-up"}, {"ERROR: config-path required\n", 1}},
      {{"wg-down"}, {"ERROR: config-path required\n", 1}},
      {{"exec"}, {"ERROR: script required\n", 1}},
      {{"Version"}, {"ERROR: Unknown command: Version\n" + usage, 1}},
      {{"WG-UP", "/etc/wg0.conf"}, {"ERROR: Unknown command: WG-UP\n" + usage, 1}},
      {{""}, {"ERROR: Unknown command: \n" + usage, 1}},
      {{"install"},
       {"Helper installation requires SMJobBless from the main app\n"
        "This command should be called from the Electron app\n",
        1}},
      {{"check"}, {"Helper is not installed\n", 1}},
  };
  for (const auto& c : cases) {
    expectRun(sandbox, c.args, c.expected);
  }
}

TEST_F(ClientTest, CheckLooksOnlyAtTheInstalledFile) {
  {
    SandboxedHelper installedButNotRunning{
        SandboxOptions{.startHelper = false,
                       .setup = {SandboxedHelper::emptyInstallDirectory(),
                                 "touch " + shellQuoted(std::string{helperInstallPath})}}};
    ASSERT_TRUE(installedButNotRunning.started());
    expectRun(installedButNotRunning, {"check"}, {"Helper is installed\n", 0});
    expectRun(installedButNotRunning, {"install"},
              {"Helper installation requires SMJobBless from the main app\n"
               "This command should be called from the Electron app\n",
               1});
  }
  SandboxedHelper runningButNotInstalled{
      SandboxOptions{.setup = {SandboxedHelper::emptyInstallDirectory()}}};
  ASSERT_TRUE(runningButNotInstalled.started());
  expectRun(runningButNotInstalled, {"check"}, {"Helper is not installed\n", 1});
}

TEST_F(ClientTest, AsksTheRealHelperForItsVersion) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  expectRun(helper, {"version"}, {"Helper version: 1.0.0\n", 0});
}

TEST_F(ClientTest, NoHelperListening) {
  SandboxedHelper sandbox{SandboxOptions{.startHelper = false}};
  ASSERT_TRUE(sandbox.started());
  const std::string failure = unreachable + "No such file or directory\n";
  expectRun(sandbox, {"wg-up", "/etc/wg0.conf"}, {invalidated + failure + failure, 1});
  expectRun(sandbox, {"exec", "true"}, {invalidated + failure, 1});
  expectRun(sandbox, {"version"}, {invalidated + failure + "ERROR: Failed to get version\n", 1});
}

TEST_F(ClientTest, AStaleSocketIsRefused) {
  // The stand-in is killed after it bound the socket, leaving the file without a listener.
  SandboxedHelper sandbox{SandboxOptions{.startHelper = false, .setup = fakeHelper({"silent"})}};
  ASSERT_TRUE(sandbox.started());
  ASSERT_EQ(sandbox.runInside({"/usr/bin/pkill", "-KILL", "-x", "quillmere-fake-"}).status, 0);
  expectRun(sandbox, {"exec", "true"}, {invalidated + unreachable + "Connection refused\n", 1});
}

TEST_F(ClientTest, RefusedUsers) {
  const Words stranger{"--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  {
    // The socket is open to all, so the daemon itself refuses.
    SandboxedHelper openSocket{SandboxOptions{.socketActivated = SocketActivation{}}};
    ASSERT_TRUE(openSocket.started());
    expectRun(openSocket, {"version"},
              {invalidated + "ERROR: Failed to connect to helper: the helper refused this user\n"
                             "ERROR: Failed to get version\n",
               1},
              stranger);
  }
  // The daemon's own socket is for root and its group only.
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  expectRun(
      helper, {"wg-down", "/etc/wg0.conf"},
      {invalidated + unreachable + "Permission denied\n" + unreachable + "Permission denied\n", 1},
      stranger);
}

struct FakeCase {
  const char* name;
  Words steps;  // what the stand-in helper does with each call
  Words args;
  Expected expected;
  std::vector<json> calls;  // what reached the stand-in
};

void PrintTo(const FakeCase& c, std::ostream* os) { *os << c.name; }

class FakeHelperTest : public ClientTest, public testing::WithParamInterface<FakeCase> {};

TEST_P(FakeHelperTest, PrintsTheOutcome) {
  const FakeCase& c = GetParam();
  SandboxedHelper sandbox{SandboxOptions{.startHelper = false, .setup = fakeHelper(c.steps)}};
  ASSERT_TRUE(sandbox.started());
  expectRun(sandbox, c.args, c.expected);

  std::ifstream recorded{sandbox.hostPath("/run/calls")};
  std::vector<json> calls;
  for (std::string line; std::getline(recorded, line);) {
    calls.push_back(json::parse(line));
  }
  EXPECT_EQ(calls, c.calls);
}

json wireGuardCall(const std::string& command, const std::string& configPath) {
  return {{"method", "com.quillmere.helper.ExecuteWireGuardCommand"},
          {"parameters", {{"command", command}, {"configPath", configPath}}}};
}
json scriptCall(const std::string& script) {
  return {{"method", "com.quillmere.helper.ExecuteShellScript"},
          {"parameters", {{"script", script}}}};
}
const json versionCall = {{"method", "com.quillmere.helper.GetVersion"}};

std::string result(const json& success, const json& output, const json& error) {
  return "reply:" +
         json{{"parameters", {{"success", success}, {"output", output}, {"error", error}}}}.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FakeHelperTest,
    testing::Values(
        FakeCase{"SuccessWithoutOutput",
                 {result(true, nullptr, "ignored")},
                 {"wg-up", "/etc/wireguard/wg0.conf"},
                 {"SUCCESS: \n", 0},
                 {wireGuardCall("up", "/etc/wireguard/wg0.conf")}},
        FakeCase{"OutputEndingInALineBreak",
                 {result(true, "line one\nline two\n", nullptr)},
                 {"wg-down", "relative/wg0.conf"},
                 {"SUCCESS: line one\nline two\n\n", 0},
                 {wireGuardCall("down", "relative/wg0.conf")}},
        FakeCase{"OnlyTheFirstWordAfterExecIsSent",
                 {result(true, "", nullptr)},
                 {"exec", " echo 'a  b' ", "ignored", "words"},
                 {"SUCCESS: \n", 0},
                 {scriptCall(" echo 'a  b' ")}},
        FakeCase{"AnEmptyScriptIsSentAsEmpty",
                 {result(true, "done", nullptr)},
                 {"exec", ""},
                 {"SUCCESS: done\n", 0},
                 {scriptCall("")}},
        FakeCase{"AScriptThatIsNotUtf8IsNotSent",
                 {result(true, "", nullptr)},
                 {"exec", "echo \xff"},
                 {"ERROR: Cannot send the script to the helper: it is not valid UTF-8 text\n", 1},
                 {}},
        FakeCase{"FailureWithoutErrorText",
                 {result(false, "not shown", nullptr)},
                 {"exec", "false"},
                 {"ERROR: Unknown error\n", 1},
                 {scriptCall("false")}},
        FakeCase{"FailureWithEmptyErrorText",
                 {result(false, nullptr, "")},
                 {"wg-up", "/etc/wg0.conf"},
                 {"ERROR: \n", 1},
                 {wireGuardCall("up", "/etc/wg0.conf")}},
        FakeCase{"FailureWithErrorText",
                 {result(false, nullptr, "Config file not found: /x")},
                 {"wg-up", "/x"},
                 {"ERROR: Config file not found: /x\n", 1},
                 {wireGuardCall("up", "/x")}},
        FakeCase{"VersionText",
                 {R"(reply:{"parameters":{"version":"2.0 beta"}})"},
                 {"version", "ignored"},
                 {"Helper version: 2.0 beta\n", 0},
                 {versionCall}},
        FakeCase{
            "HangUpDuringTheRequest",
            {"hangup"},
            {"exec", "sleep 100"},
            {interrupted + "ERROR: Failed to connect to helper: the helper closed the connection "
                           "before replying\n",
             1},
            {scriptCall("sleep 100")}},
        FakeCase{"AnotherVarlinkError",
                 {R"(reply:{"error":"org.varlink.service.MethodNotImplemented","parameters":{}})"},
                 {"wg-up", "/etc/wg0.conf"},
                 {"ERROR: Failed to connect to helper: the helper answered "
                  "org.varlink.service.MethodNotImplemented\n"
                  "ERROR: Failed to connect to helper: the helper answered "
                  "org.varlink.service.MethodNotImplemented\n",
                  1},
                 {wireGuardCall("up", "/etc/wg0.conf")}},
        FakeCase{"UnreadableReply",
                 {"reply:{"},
                 {"version"},
                 {invalidated +
                      "ERROR: Failed to connect to helper: the helper's reply cannot be read: not "
                      "valid JSON\nERROR: Failed to get version\n",
                  1},
                 {versionCall}}),
    CaseName{});

// The program's own deadlines, against a stand-in that never answers: once each, as they are slow.
struct DeadlineCase {
  const char* name;
  Words args;
  Expected expected;
};

void PrintTo(const DeadlineCase& c, std::ostream* os) { *os << c.name; }

class DeadlineTest : public ClientTest, public testing::WithParamInterface<DeadlineCase> {};

TEST_P(DeadlineTest, NoReplyInTime) {
  SandboxedHelper sandbox{SandboxOptions{.startHelper = false, .setup = fakeHelper({"silent"})}};
  ASSERT_TRUE(sandbox.started());
  expectRun(sandbox, GetParam().args, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ProgramDeadlines, DeadlineTest,
    testing::Values(
        DeadlineCase{"Command", {"exec", "true"}, {"ERROR: Failed to connect to helper\n", 1}},
        DeadlineCase{"Version", {"version"}, {"ERROR: Failed to get version\n", 1}}),
    CaseName{});

}  // namespace
}  // namespace quillmere::testing_support
