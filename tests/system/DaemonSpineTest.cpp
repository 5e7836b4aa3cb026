// The real daemon in its sandbox: start-up, acceptance, who may connect, version and removal,
// and how it answers calls it cannot serve.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "protocol/HelperNames.h"
#include "protocol/VarlinkInterface.h"
#include "tests/support/CaseName.h"
#include "tests/support/SandboxedHelper.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::testing_support {
namespace {

using nlohmann::json;

constexpr std::string_view startLine = "Quillmere Helper: Started and listening for connections";
constexpr std::string_view acceptLine = "Quillmere Helper: New connection accepted";
constexpr std::string_view versionLine = "Quillmere Helper: Version requested";
constexpr std::string_view uninstallLine = "Quillmere Helper: Uninstall requested";

const json versionReply = {{"parameters", {{"version", "1.0.0"}}}};

json varlinkError(const std::string& name, json parameters) {
  return json{{"error", "org.varlink.service." + name}, {"parameters", parameters}};
}

class DaemonTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
  }

  // A file in the test's own scratch directory, made executable when asked.
  std::string writeFile(const std::string& name, const std::string& content, bool executable) {
    const std::string path = scratch_ + "/" + name;
    std::ofstream{path} << content;
    ::chmod(path.c_str(), executable ? 0755 : 0644);
    return path;
  }

  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }

 private:
  std::string scratch_ = [] {
    char pattern[] = "/tmp/quillmere-test-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
};

TEST_F(DaemonTest, LogsTheStartLineOncePerStart) {
  for (int start = 0; start < 2; ++start) {
    SandboxedHelper helper;
    ASSERT_TRUE(helper.started());
    VarlinkTestClient client{helper.socketPath()};
    ASSERT_EQ(client.call(helperCall("GetVersion")), versionReply);
    EXPECT_EQ(helper.countLogLines(startLine), 1u);
    EXPECT_EQ(helper.logLines().front(), startLine) << "nothing is logged before the start line";
  }
}

TEST_F(DaemonTest, EachConnectionIsAcceptedOnceAndEndsSilently) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  {
    // Two clients at once, each with several calls.
    VarlinkTestClient first{helper.socketPath()};
    VarlinkTestClient second{helper.socketPath()};
    for (int call = 0; call < 3; ++call) {
      ASSERT_EQ(first.call(helperCall("GetVersion")), versionReply);
      ASSERT_EQ(second.call(helperCall("GetVersion")), versionReply);
    }
    EXPECT_EQ(helper.countLogLines(acceptLine), 2u);
  }
  // A third connection after the first two ended: one more acceptance line, nothing else.
  VarlinkTestClient third{helper.socketPath()};
  ASSERT_EQ(third.call(helperCall("GetVersion")), versionReply);
  // Acceptance lines come from each connection's own thread, so only their number is fixed.
  EXPECT_EQ(helper.logLines().size(), 11u);
  EXPECT_EQ(helper.countLogLines(startLine), 1u);
  EXPECT_EQ(helper.countLogLines(acceptLine), 3u);
  EXPECT_EQ(helper.countLogLines(versionLine), 7u);
}

TEST_F(DaemonTest, GetVersionRepliesAndLogsEveryTime) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};
  for (int call = 1; call <= 5; ++call) {
    ASSERT_EQ(client.call(helperCall("GetVersion")), versionReply);
    EXPECT_EQ(helper.countLogLines(versionLine), static_cast<std::size_t>(call));
  }
}

struct RemovalCase {
  const char* name;
  std::string standIn;  // content of the stand-in /bin/systemctl
  bool executable;
  std::optional<std::string> extraLine;
};

class UninstallTest : public DaemonTest, public testing::WithParamInterface<RemovalCase> {};

TEST_P(UninstallTest, RunsTheRemovalCommandAndRepliesTrue) {
  const RemovalCase& c = GetParam();
  const std::string standIn = writeFile("systemctl", c.standIn, c.executable);
  SandboxedHelper helper{SandboxOptions{.bindMounts = {{standIn, "/bin/systemctl"}}}};
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};

  for (int call = 1; call <= 2; ++call) {
    EXPECT_EQ(client.call(helperCall("UninstallHelper")),
              json({{"parameters", {{"success", true}}}}));
  }
  EXPECT_EQ(helper.countLogLines(uninstallLine), 2u);
  if (c.extraLine) {
    EXPECT_EQ(helper.countLogLines(*c.extraLine), 2u);
  }
  if (c.executable) {
    std::ifstream recorded{helper.hostPath("/run/systemctl-calls")};
    std::string line;
    for (int call = 0; call < 2; ++call) {
      ASSERT_TRUE(std::getline(recorded, line));
      EXPECT_EQ(line, "disable|--now|com.quillmere.helper.socket|com.quillmere.helper.service|");
    }
  }
  // The daemon keeps serving after the removal command returned.
  EXPECT_EQ(client.call(helperCall("GetVersion")), versionReply);
}

const std::string recordingStandIn =
    "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done >> /run/systemctl-calls\n"
    "echo >> /run/systemctl-calls\n";

INSTANTIATE_TEST_SUITE_P(
    StandIns, UninstallTest,
    testing::Values(RemovalCase{"Succeeds", recordingStandIn + "exit 0\n", true, std::nullopt},
                    RemovalCase{"Fails", recordingStandIn + "exit 5\n", true, std::nullopt},
                    RemovalCase{"KilledBySignal", recordingStandIn + "kill -9 $$\n", true,
                                std::nullopt},
                    RemovalCase{"CannotStart", "not a program", false,
                                "Quillmere Helper: Could not start /bin/systemctl: Permission "
                                "denied"}),
    CaseName{});

TEST_F(DaemonTest, StandardErrorsAndTheConnectionKeepsServing) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};
  const struct {
    std::string call;
    json reply;
  } cases[] = {
      {helperCall("Reboot"),
       varlinkError("MethodNotFound", {{"method", "com.quillmere.helper.Reboot"}})},
      {R"({"method":"com.example.Other.Call"})",
       varlinkError("InterfaceNotFound", {{"interface", "com.example.Other"}})},
      {helperCall("ExecuteShellScript", {{"script", 42}}),
       varlinkError("InvalidParameter", {{"parameter", "script"}})},
      {helperCall("ExecuteWireGuardCommand", {{"command", "up"}, {"configPath", false}}),
       varlinkError("InvalidParameter", {{"parameter", "configPath"}})},
      {helperCall("GetVersion", {{"unexpected", "x"}}),
       varlinkError("InvalidParameter", {{"parameter", "unexpected"}})},
      {R"({"method":"org.varlink.service.GetInterfaceDescription","parameters":{"interface":"com.quillmere.helper"}})",
       json({{"parameters", {{"description", varlink::interfaceDescription(varlink::helperInterface())}}}})},
      {helperCall("GetVersion"), versionReply},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(client.call(c.call), c.reply) << c.call;
  }
  // A oneway call runs but gets no reply: the next reply read belongs to the next call.
  ASSERT_TRUE(client.send(R"({"method":"com.quillmere.helper.GetVersion","oneway":true})"));
  ASSERT_TRUE(client.send(helperCall("Nope")));
  EXPECT_EQ(client.receive(),
            varlinkError("MethodNotFound", {{"method", "com.quillmere.helper.Nope"}}));
  EXPECT_TRUE(helper.waitForLogLine(versionLine, 2));
}

struct BrokenStreamCase {
  const char* name;
  std::string bytes;
  std::string logLine;
};

class BrokenStreamTest : public DaemonTest, public testing::WithParamInterface<BrokenStreamCase> {};

TEST_P(BrokenStreamTest, ClosesThatConnectionOnlyAndLogsWhy) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient bystander{helper.socketPath()};
  ASSERT_EQ(bystander.call(helperCall("GetVersion")), versionReply);

  VarlinkTestClient offender{helper.socketPath()};
  offender.send(GetParam().bytes);
  EXPECT_EQ(offender.receive(), std::nullopt);
  EXPECT_EQ(offender.lastStatus(), varlink::MessageChannel::ReadStatus::EndOfStream);
  EXPECT_TRUE(helper.waitForLogLine(GetParam().logLine));

  EXPECT_EQ(bystander.call(helperCall("GetVersion")), versionReply);
  VarlinkTestClient newcomer{helper.socketPath()};
  EXPECT_EQ(newcomer.call(helperCall("GetVersion")), versionReply);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BrokenStreamTest,
    testing::Values(
        BrokenStreamCase{"NotJson", "hello",
                         "Quillmere Helper: Closing connection: not valid JSON"},
        BrokenStreamCase{"NoMethod", R"({"parameters":{}})",
                         "Quillmere Helper: Closing connection: no method name"},
        BrokenStreamCase{
            "Oversized",
            R"({"method":"com.quillmere.helper.ExecuteShellScript","parameters":{"script":")" +
                std::string(16 * 1024 * 1024, 'x') + R"("}})",
            "Quillmere Helper: Closing connection: message larger than 16 MiB"}),
    CaseName{});

class RefusalTest : public DaemonTest {
 protected:
  // An unprivileged user runs the test client inside the sandbox.
  platform::ProcessOutcome callAs(const SandboxedHelper& helper,
                                  const std::vector<std::string>& identity) {
    std::vector<std::string> command{"/usr/bin/setpriv"};
    command.insert(command.end(), identity.begin(), identity.end());
    command.insert(command.end(), {SandboxedHelper::insideBinary("quillmere-test-call"),
                                   std::string{helperSocketPath}, helperCall("GetVersion"),
                                   helperCall("GetVersion")});
    return helper.runInside(command);
  }
};

TEST_F(RefusalTest, StrangersAreRefusedAndMembersServed) {
  // The sandbox gets a group file of its own with a quillmere group, leaving the host's alone.
  std::ifstream hostGroups{"/etc/group"};
  std::string groups{std::istreambuf_iterator<char>{hostGroups}, {}};
  const std::string groupFile = writeFile("group", groups + "quillmere:x:4242:\n", false);
  SandboxedHelper helper{SandboxOptions{.socketActivated = SocketActivation{},
                                        .bindMounts = {{groupFile, "/etc/group"}}}};
  ASSERT_TRUE(helper.started());

  const auto stranger = callAs(helper, {"--reuid=65534", "--regid=65534", "--clear-groups", "--"});
  EXPECT_EQ(stranger.standardOutput,
            R"({"error":"org.varlink.service.PermissionDenied","parameters":{}})"
            "\nconnection closed\n");
  EXPECT_EQ(stranger.status, 3) << stranger.standardError;

  const auto member = callAs(helper, {"--reuid=65534", "--regid=65534", "--groups=4242", "--"});
  EXPECT_EQ(member.standardOutput, versionReply.dump() + "\n" + versionReply.dump() + "\n");
  EXPECT_EQ(member.status, 0) << member.standardError;

  const auto primaryMember =
      callAs(helper, {"--reuid=65534", "--regid=4242", "--clear-groups", "--"});
  EXPECT_EQ(primaryMember.status, 0) << primaryMember.standardOutput;

  const auto lines = helper.logLines();
  const auto refusals = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("Quillmere Helper: Refused connection from uid 65534 (pid ") &&
           line.ends_with(")");
  });
  EXPECT_EQ(refusals, 1);
  EXPECT_EQ(helper.countLogLines(acceptLine), 2u) << "the stranger gets no acceptance line";
  EXPECT_EQ(helper.countLogLines(versionLine), 4u) << "nothing runs for the stranger";
}

TEST_F(DaemonTest, LeavesALiveDaemonAloneAndReplacesAStaleSocket) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  const std::string daemon = SandboxedHelper::insideBinary("quillmere-helper");

  const auto second = helper.runInside({daemon});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.standardError,
            "Quillmere Helper: Cannot listen: another helper is already listening on "
            "/run/com.quillmere.helper.sock\n");
  VarlinkTestClient client{helper.socketPath()};
  EXPECT_EQ(client.call(helperCall("GetVersion")), versionReply) << "the first one still serves";

  // Once the first daemon is gone its socket file is stale, and a new daemon takes its place.
  ASSERT_EQ(helper.runInside({"/usr/bin/pkill", "-KILL", "-x", "quillmere-helpe"}).status, 0);
  ASSERT_EQ(helper.runInside({"/bin/sh", "-c", "test -S /run/com.quillmere.helper.sock"}).status,
            0);
  ASSERT_EQ(helper.runInside({"/bin/sh", "-c", daemon + " >/dev/null 2>>/run/second.log &"}).status,
            0);
  for (int attempt = 0; attempt < 500; ++attempt) {
    VarlinkTestClient again{helper.socketPath()};
    if (auto reply = again.call(helperCall("GetVersion"))) {
      EXPECT_EQ(*reply, versionReply);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "no daemon took over the stale socket";
}

TEST_F(DaemonTest, RefusesToStartWhereTheSocketPathIsNotASocket) {
  SandboxedHelper sandbox{SandboxOptions{.startHelper = false,
                                         .setup = {"echo keep > /run/com.quillmere.helper.sock"}}};
  ASSERT_TRUE(sandbox.started());
  const auto outcome = sandbox.runInside({SandboxedHelper::insideBinary("quillmere-helper")});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.standardError,
            "Quillmere Helper: Cannot listen: /run/com.quillmere.helper.sock exists and is not a "
            "socket\n");
  std::ifstream kept{sandbox.hostPath("/run/com.quillmere.helper.sock")};
  std::string content;
  kept >> content;
  EXPECT_EQ(content, "keep");
}

TEST_F(DaemonTest, BindsItsSocketOwnerAndGroupOnly) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  struct stat status {};
  ASSERT_EQ(::stat(helper.socketPath().c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0660u);
  EXPECT_EQ(status.st_uid, 0u);
}

}  // namespace
}  // namespace quillmere::testing_support
