// The real daemon in its sandbox under hostile peers, faults and load: it keeps serving everybody
// else, leaks nothing, runs nothing for strangers and never runs a file it did not write.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/HelperNames.h"
#include "tests/support/CaseName.h"
#include "tests/support/HostilePeer.h"
#include "tests/support/SandboxedHelper.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view executingLine = "Quillmere Helper: Executing shell script";
const json versionReply = {{"parameters", {{"version", "1.0.0"}}}};
// The group that may use the helper, as the sandbox's own group file names it.
constexpr int helperGroupId = 4242;

json commandReply(bool success, const json& output, const json& error) {
  return {{"parameters", {{"success", success}, {"output", output}, {"error", error}}}};
}

json varlinkError(const std::string& name, json parameters = json::object()) {
  return json{{"error", "org.varlink.service." + name}, {"parameters", std::move(parameters)}};
}

// What the daemon holds, read from /proc inside the sandbox. Threads are those that serve
// connections, told apart by their name: a sanitizer's runtime may start threads of its own.
struct DaemonResources {
  int descriptors = 0;
  int connectionThreads = 0;
  int children = 0;
  long residentKiB = 0;

  bool operator==(const DaemonResources& other) const {
    return descriptors == other.descriptors && connectionThreads == other.connectionThreads &&
           children == other.children;
  }
};

std::ostream& operator<<(std::ostream& out, const DaemonResources& resources) {
  return out << resources.descriptors << " descriptors, " << resources.connectionThreads
             << " connection threads, " << resources.children << " children";
}

class FaultTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // The host's groups plus the helper's group, for bind-mounting over the sandbox's /etc/group.
  std::pair<std::string, std::string> helperGroupFile() {
    std::ifstream hostGroups{"/etc/group"};
    const std::string groups{std::istreambuf_iterator<char>{hostGroups}, {}};
    const std::string path = scratch_ + "/group";
    std::ofstream{path} << groups << helperGroupName << ":x:" << helperGroupId << ":\n";
    return {path, "/etc/group"};
  }

  static DaemonResources resourcesOf(const SandboxedHelper& helper) {
    const auto read = helper.runInside(
        {"/bin/sh", "-c",
         "p=$(pidof quillmere-helper) || exit 1; "
         "echo $(ls /proc/$p/fd | wc -l) $(cat /proc/$p/task/*/comm | grep -cx connection) "
         "$(cat /proc/$p/task/*/children | wc -w) "
         "$(awk '/^VmRSS:/ {print $2}' /proc/$p/status)"});
    DaemonResources resources;
    std::istringstream{read.standardOutput} >> resources.descriptors >>
        resources.connectionThreads >> resources.children >> resources.residentKiB;
    return resources;
  }

  // Waits until the daemon is back to `baseline`; what it holds at the end.
  static DaemonResources settleTo(const SandboxedHelper& helper, const DaemonResources& baseline) {
    DaemonResources now = resourcesOf(helper);
    for (int attempt = 0; attempt < 200 && !(now == baseline); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      now = resourcesOf(helper);
    }
    return now;
  }

  // Starts `command` inside the sandbox in the background, its output going to `outputPath`
  // (inside), and waits until that output holds `readyText`.
  static bool startInBackground(const SandboxedHelper& helper, const std::string& command,
                                const std::string& outputPath, std::string_view readyText) {
    helper.runInside({"/bin/sh", "-c", command + " >" + outputPath + " 2>&1 &"});
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (contentOf(helper.hostPath(outputPath)).find(readyText) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  static std::string contentOf(const std::string& path) {
    std::ifstream file{path};
    return {std::istreambuf_iterator<char>{file}, {}};
  }

  static std::vector<std::string> temporaryFiles(const SandboxedHelper& helper,
                                                 const std::string& directory = "/tmp") {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(helper.hostPath(directory))) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  // Log lines that start with `head` and end with `tail`.
  static std::size_t countLinesLike(const SandboxedHelper& helper, std::string_view head,
                                    std::string_view tail) {
    std::size_t count = 0;
    for (const std::string& line : helper.logLines()) {
      count += line.starts_with(head) && line.ends_with(tail) ? 1u : 0u;
    }
    return count;
  }

  // Waits (up to 10 s) until the daemon has written at least `count` such lines, as it may still
  // be taking connections in; returns how many there are.
  static std::size_t awaitLinesLike(const SandboxedHelper& helper, std::string_view head,
                                    std::string_view tail, std::size_t count) {
    for (int attempt = 0; attempt < 200 && countLinesLike(helper, head, tail) < count; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return countLinesLike(helper, head, tail);
  }

  // A command line that sends `call` as `uid` (a member of the helper's group when asked) and
  // prints the reply.
  static std::string callAs(int uid, bool member, const std::string& call) {
    return as(uid, member) + SandboxedHelper::insideBinary("quillmere-test-call") + " " +
           std::string{helperSocketPath} + " '" + call + "'";
  }

  // A command line that runs as `uid`, a member of the helper's group when asked, logged in as
  // `loginUid` (by default `uid` itself, as a login session would set it; -1 leaves the test's
  // own).
  static std::string as(int uid, bool member, long loginUid = 0) {
    const std::string id = std::to_string(uid);
    const std::string login = std::to_string(loginUid == 0 ? uid : loginUid);
    return (loginUid < 0 ? std::string{}
                         : "/bin/sh -c 'echo " + login +
                               " >/proc/self/loginuid 2>/dev/null; exec \"$@\"' as ") +
           "setpriv --reuid=" + id + " --regid=" + id +
           (member ? " --groups=" + std::to_string(helperGroupId) : " --clear-groups") + " -- ";
  }

  std::string scratch_ = [] {
    char pattern[] = "/tmp/quillmere-faults-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
};

// Sixty-four clients at once, each with its own mix of calls: every reply is the right one on
// the right connection, and afterwards the daemon holds exactly what it held before.
TEST_F(FaultTest, ManyClientsAtOnceGetTheirOwnRepliesAndLeaveNothingBehind) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  const DaemonResources before = resourcesOf(helper);
  ASSERT_GT(before.descriptors, 0);

  constexpr int clients = 64;
  std::vector<std::string> failures(clients);
  std::vector<std::thread> threads;
  for (int index = 0; index < clients; ++index) {
    threads.emplace_back([&, index] {
      const std::string n = std::to_string(index);
      const std::pair<std::string, json> calls[] = {
          {helperCall("GetVersion"), versionReply},
          {helperCall("ExecuteShellScript",
                      {{"script", "echo out-" + n + "; echo err-" + n + " >&2"}}),
           commandReply(true, "out-" + n, nullptr)},
          {helperCall("ExecuteShellScript",
                      {{"script", "echo out-" + n + "; echo err-" + n + " >&2; exit 3"}}),
           commandReply(false, "out-" + n, "err-" + n)},
          {helperCall("ExecuteShellScript", {{"script", "exit " + std::to_string(index % 7)}}),
           commandReply(index % 7 == 0, "", index % 7 == 0 ? json(nullptr) : json(""))},
          {helperCall("GetVersion"), versionReply},
      };
      VarlinkTestClient client{helper.socketPath()};
      for (const auto& [call, expected] : calls) {
        const auto reply = client.call(call);
        if (reply != expected) {
          failures[static_cast<std::size_t>(index)] =
              call + " got " + (reply ? reply->dump() : std::string{"nothing"});
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int index = 0; index < clients; ++index) {
    EXPECT_EQ(failures[static_cast<std::size_t>(index)], "") << "client " << index;
  }

  EXPECT_EQ(settleTo(helper, before), before);
  EXPECT_EQ(temporaryFiles(helper), std::vector<std::string>{}) << "no script file is left";
}

// Members whose connections are stuck in every way a peer can stick: none of them keeps anyone
// else out, and none makes the daemon take in more than it can hold.
TEST_F(FaultTest, StuckPeersKeepNobodyElseOut) {
  SandboxedHelper helper{SandboxOptions{.bindMounts = {helperGroupFile()}}};
  ASSERT_TRUE(helper.started());
  const DaemonResources before = resourcesOf(helper);
  const std::string peer = SandboxedHelper::insideBinary("quillmere-test-stuck-peer") + " " +
                           std::string{helperSocketPath} + " ";

  // One user opening more connections than the daemon serves at once, all silent; another
  // stopping half-way through a call on every one of theirs.
  ASSERT_TRUE(
      startInBackground(helper, as(65534, true) + peer + "silent 300", "/tmp/silent.out", "ready"));
  ASSERT_TRUE(
      startInBackground(helper, as(65533, true) + peer + "half 40", "/tmp/half.out", "ready"));
  // Calls without end, never reading a reply: the daemon stops taking them once its replies
  // back up, so the peer gets nowhere near the 256 MiB it would send.
  ASSERT_TRUE(
      startInBackground(helper, as(65532, true) + peer + "unread 2", "/tmp/unread.out", "ready"));
  std::istringstream unread{contentOf(helper.hostPath("/tmp/unread.out"))};
  std::string word;
  std::size_t taken = 0;
  unread >> word >> taken;
  EXPECT_EQ(word, "taken");
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, 16u * 1024 * 1024);

  const auto refusedFor = [&helper](int uid) {
    return countLinesLike(
        helper, "Quillmere Helper: Refused connection from uid " + std::to_string(uid) + " (pid ",
        "): too many connections at once");
  };
  // Each user holds 32 connections at most; of the refusals, 20 are logged in each 30 s and the
  // rest counted in one line.
  EXPECT_EQ(refusedFor(65534), 20u);
  EXPECT_EQ(refusedFor(65533), 40u - 32u);

  // Root and another member are served all the same.
  EXPECT_EQ(VarlinkTestClient{helper.socketPath()}.call(helperCall("GetVersion")), versionReply);
  const auto member = helper.runInside(
      {"/bin/sh", "-c",
       callAs(65531, true, helperCall("ExecuteShellScript", {{"script", "echo served"}}))});
  EXPECT_EQ(member.standardOutput, commandReply(true, "served", nullptr).dump() + "\n");
  EXPECT_EQ(member.status, 0) << member.standardError;

  // Once the stuck peers are gone, so is everything they held.
  const DaemonResources stuck = resourcesOf(helper);
  EXPECT_GE(stuck.connectionThreads, 32 + 32 + 2);
  if (!builtWithSanitizer) {
    EXPECT_LT(stuck.residentKiB - before.residentKiB, 64 * 1024) << "KiB taken by stuck peers";
  }
  helper.runInside({"/usr/bin/pkill", "-9", "-f", "quillmere-test-stuck-peer"});
  EXPECT_EQ(settleTo(helper, before), before);
  EXPECT_TRUE(helper.waitForLogLine(
      "Quillmere Helper: Left out 248 more refusal lines for uid 65534 in 30 s", 1,
      std::chrono::seconds(40)));
}

struct HostileMessageCase {
  const char* name;
  std::string message;
  std::optional<json> reply;  // nothing: the connection is closed with `logLine`
  std::string logLine;
};

class HostileMessageTest : public FaultTest,
                           public testing::WithParamInterface<HostileMessageCase> {};

TEST_P(HostileMessageTest, GetsItsClearErrorOrIsDroppedAndTheDaemonGoesOn) {
  const HostileMessageCase& c = GetParam();
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient offender{helper.socketPath()};
  ASSERT_TRUE(offender.send(c.message));
  if (c.reply) {
    EXPECT_EQ(offender.receive(), *c.reply);
    EXPECT_EQ(offender.call(helperCall("GetVersion")), versionReply) << "the connection goes on";
  } else {
    EXPECT_EQ(offender.receive(), std::nullopt);
    EXPECT_TRUE(helper.waitForLogLine("Quillmere Helper: Closing connection: " + c.logLine));
  }
  VarlinkTestClient newcomer{helper.socketPath()};
  EXPECT_EQ(newcomer.call(helperCall("GetVersion")), versionReply);
  EXPECT_EQ(helper.countLogLines(executingLine), 0u) << "nothing ran";
}

std::string nested(int depth) {
  return R"({"method":"com.quillmere.helper.GetVersion","parameters":{"x":)" +
         std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']') + "}}";
}

INSTANTIATE_TEST_SUITE_P(
    Messages, HostileMessageTest,
    testing::Values(
        HostileMessageCase{
            "InvalidUtf8InAString",
            "{\"method\":\"com.quillmere.helper.ExecuteShellScript\",\"parameters\":{\"script\":"
            "\"echo \xff\xfe\"}}",
            std::nullopt, "not valid JSON"},
        HostileMessageCase{"LoneSurrogateEscape",
                           R"({"method":"com.quillmere.helper.ExecuteShellScript",)"
                           R"("parameters":{"script":"echo \udc80"}})",
                           std::nullopt, "not valid JSON"},
        HostileMessageCase{"DeeplyNested", nested(100000), std::nullopt, "JSON nested too deeply"},
        // Beyond any double: refused by the parser rather than read as infinity.
        HostileMessageCase{"NumberBeyondAnyDouble",
                           R"({"method":"com.quillmere.helper.ExecuteShellScript",)"
                           R"("parameters":{"script":1e999999}})",
                           std::nullopt, "not valid JSON"},
        HostileMessageCase{"HugeNumberForAText",
                           R"({"method":"com.quillmere.helper.ExecuteShellScript",)"
                           R"("parameters":{"script":123456789012345678901234567890}})",
                           varlinkError("InvalidParameter", {{"parameter", "script"}}), ""},
        HostileMessageCase{"HugeNumberUnasked",
                           R"({"method":"com.quillmere.helper.GetVersion",)"
                           R"("parameters":{"n":123456789012345678901234567890}})",
                           varlinkError("InvalidParameter", {{"parameter", "n"}}), ""},
        HostileMessageCase{"DuplicateMembers",
                           R"({"method":"com.quillmere.helper.GetVersion",)"
                           R"("method":"com.quillmere.helper.ExecuteShellScript",)"
                           R"("parameters":{"script":"touch /run/ran"}})",
                           std::nullopt, "duplicate member \"method\""},
        HostileMessageCase{"DuplicateParameters",
                           R"({"method":"com.quillmere.helper.ExecuteShellScript",)"
                           R"("parameters":{"script":"true","script":"touch /run/ran"}})",
                           std::nullopt, "duplicate member \"script\""},
        HostileMessageCase{
            "UnknownMethod", helperCall("Shutdown"),
            varlinkError("MethodNotFound", {{"method", "com.quillmere.helper.Shutdown"}}), ""}),
    CaseName{});

TEST_F(FaultTest, AOnewayCallRunsAndGetsNoReply) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};
  ASSERT_TRUE(client.send(R"({"method":"com.quillmere.helper.ExecuteShellScript",)"
                          R"("parameters":{"script":"touch /run/oneway"},"oneway":true})"));
  // The next reply read is the next call's.
  EXPECT_EQ(client.call(helperCall("GetVersion")), versionReply);
  EXPECT_TRUE(fs::exists(helper.hostPath("/run/oneway")));
}

// The daemon killed while a request runs: the client says so at once and fails, instead of
// waiting out its 30 seconds.
TEST_F(FaultTest, ClientOfAKilledDaemonIsInterruptedAndFails) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  const std::string cli = SandboxedHelper::insideBinary("quillmere-cli");
  ASSERT_TRUE(startInBackground(helper,
                                "{ " + cli + " exec 'sleep 60' 2>/tmp/cli.err; echo status $?; }",
                                "/tmp/cli.out", ""));
  ASSERT_TRUE(helper.waitForLogLine(executingLine));
  helper.runInside({"/bin/sh", "-c", "kill -9 $(pidof quillmere-helper)"});

  std::string output;
  for (int attempt = 0; attempt < 1000 && output.find("status") == std::string::npos; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    output = contentOf(helper.hostPath("/tmp/cli.out"));
  }
  EXPECT_EQ(output,
            "ERROR: Connection to helper interrupted\n"
            "ERROR: Failed to connect to helper: the helper closed the connection before "
            "replying\n"
            "status 1\n");
  EXPECT_EQ(contentOf(helper.hostPath("/tmp/cli.err")), "");
}

struct StrangerCase {
  const char* name;
  SandboxOptions options;
  std::vector<std::string> afterStart;  // run inside once the helper listens
  bool reachesTheHelper;
};

class StrangerTest : public FaultTest, public testing::WithParamInterface<StrangerCase> {};

// Someone neither root nor in the group, whichever way they reach the socket: refused, logged
// with their uid and pid, and nothing runs for them.
TEST_P(StrangerTest, IsRefusedAndNothingRuns) {
  SandboxOptions options = GetParam().options;
  options.bindMounts.push_back(helperGroupFile());
  SandboxedHelper helper{options};
  ASSERT_TRUE(helper.started());
  for (const std::string& line : GetParam().afterStart) {
    ASSERT_EQ(helper.runInside({"/bin/sh", "-c", line}).status, 0) << line;
  }
  const auto stranger = helper.runInside(
      {"/bin/sh", "-c",
       callAs(65534, false,
              helperCall("ExecuteShellScript", {{"script", "touch /tmp/stranger-was-here"}}))});
  if (GetParam().reachesTheHelper) {
    EXPECT_EQ(stranger.standardOutput, varlinkError("PermissionDenied").dump() + "\n");
    EXPECT_EQ(
        countLinesLike(helper, "Quillmere Helper: Refused connection from uid 65534 (pid ", ")"),
        1u);
  } else {
    EXPECT_EQ(stranger.standardOutput, "cannot connect: Permission denied\n");
  }
  EXPECT_FALSE(fs::exists(helper.hostPath("/tmp/stranger-was-here")));
  EXPECT_EQ(helper.countLogLines(executingLine), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StrangerTest,
    testing::Values(
        StrangerCase{"TheHelpersOwnSocket", {}, {}, false},
        StrangerCase{
            "TheOwnSocketOpenedUp", {}, {"chmod 0666 " + std::string{helperSocketPath}}, true},
        StrangerCase{
            "ASocketFromTheServiceManager", {.socketActivated = SocketActivation{}}, {}, true}),
    CaseName{});

struct TemporaryDirectoryCase {
  const char* name;
  std::vector<std::string> setup;
  std::string reason;
  std::string resolvedDirectory;  // where TMPDIR leads
};

class TemporaryDirectoryTest : public FaultTest,
                               public testing::WithParamInterface<TemporaryDirectoryCase> {};

// A temporary directory others may change is never written to, so nothing another user swaps in
// can ever run as root.
TEST_P(TemporaryDirectoryTest, OthersMayChangeItSoNothingIsWrittenOrRun) {
  const TemporaryDirectoryCase& c = GetParam();
  std::vector<std::string> setup = c.setup;
  setup.push_back("export TMPDIR=/tmp/scripts");
  SandboxedHelper helper{SandboxOptions{.setup = setup}};
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};
  const std::string description = "Unsafe temporary directory /tmp/scripts: " + c.reason;
  EXPECT_EQ(client.call(helperCall("ExecuteShellScript", {{"script", "touch /run/ran"}})),
            commandReply(false, nullptr, "Failed to execute script: " + description));
  EXPECT_EQ(helper.countLogLines("Quillmere Helper: Error executing script: " + description), 1u);
  EXPECT_FALSE(fs::exists(helper.hostPath("/run/ran")));
  EXPECT_EQ(temporaryFiles(helper, c.resolvedDirectory), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Directories, TemporaryDirectoryTest,
    testing::Values(TemporaryDirectoryCase{"WritableByAllWithoutTheStickyBit",
                                           {"mkdir -m 0777 /tmp/scripts"},
                                           "/tmp/scripts is writable by other users and not sticky",
                                           "/tmp/scripts"},
                    TemporaryDirectoryCase{
                        "AnotherUsersDirectory",
                        {"mkdir -m 0755 /tmp/scripts", "chown 65534 /tmp/scripts"},
                        "/tmp/scripts belongs to uid 65534",
                        "/tmp/scripts"},
                    TemporaryDirectoryCase{"ALinkIntoAnotherUsersDirectory",
                                           {"mkdir -m 0755 /tmp/theirs", "chown 65534 /tmp/theirs",
                                            "ln -s /tmp/theirs /tmp/scripts"},
                                           "/tmp/theirs belongs to uid 65534",
                                           "/tmp/theirs"}),
    CaseName{});

// What a caller sends is logged as text: never read as a format, never breaking a line in two.
TEST_F(FaultTest, LogLinesStayLiteral) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient client{helper.socketPath()};
  const std::string command = "up%n%s\n\x1b[31m";
  const std::string path = "/etc/%n%s%x%p\nwg0.conf\r";
  EXPECT_EQ(client.call(helperCall("ExecuteWireGuardCommand",
                                   {{"command", command}, {"configPath", path}})),
            commandReply(false, nullptr, "Invalid command. Must be 'up' or 'down'"));
  EXPECT_EQ(client.call(
                helperCall("ExecuteWireGuardCommand", {{"command", "down"}, {"configPath", path}})),
            commandReply(false, nullptr, "Configuration file not found: " + path));
  const auto lines = helper.logLines();
  const std::vector<std::string> expected = {
      "Quillmere Helper: Started and listening for connections",
      "Quillmere Helper: New connection accepted",
      "Quillmere Helper: Executing WireGuard command: up%n%s\\x0a\\x1b[31m for config: "
      "/etc/%n%s%x%p\\x0awg0.conf\\x0d",
      "Quillmere Helper: Executing WireGuard command: down for config: "
      "/etc/%n%s%x%p\\x0awg0.conf\\x0d",
  };
  EXPECT_EQ(lines, expected);
}

struct ManyUidsCase {
  const char* name;
  std::string subuid;  // the sandbox's /etc/subuid
  long loginUid;       // of every peer process (-1: the test's own)
};

class ManyUidsTest : public FaultTest, public testing::WithParamInterface<ManyUidsCase> {};

// One member using many uids (its subordinate ids in a user namespace, or any uids under its
// login) is counted as one user: it cannot take the places everybody else needs.
TEST_P(ManyUidsTest, CountAsTheirOneUser) {
  const std::string subuid = scratch_ + "/subuid";
  std::ofstream{subuid} << GetParam().subuid;
  SandboxedHelper helper{
      SandboxOptions{.bindMounts = {helperGroupFile(), {subuid, "/etc/subuid"}}}};
  ASSERT_TRUE(helper.started());
  const std::string peer = SandboxedHelper::insideBinary("quillmere-test-stuck-peer") + " " +
                           std::string{helperSocketPath} + " silent 32";
  for (int uid = 100000; uid < 100008; ++uid) {
    const std::string output = "/tmp/silent-" + std::to_string(uid) + ".out";
    ASSERT_TRUE(
        startInBackground(helper, as(uid, true, GetParam().loginUid) + peer, output, "ready"));
  }
  EXPECT_EQ(awaitLinesLike(helper, "Quillmere Helper: Refused connection from uid 1000",
                           "): too many connections at once", 20),
            20u)
      << "7 x 32 refused, 20 of them logged";

  EXPECT_EQ(VarlinkTestClient{helper.socketPath()}.call(helperCall("GetVersion")), versionReply);
  const auto member = helper.runInside(
      {"/bin/sh", "-c",
       callAs(65530, true, helperCall("ExecuteShellScript", {{"script", "echo served"}}))});
  EXPECT_EQ(member.standardOutput, commandReply(true, "served", nullptr).dump() + "\n");
  helper.runInside({"/usr/bin/pkill", "-9", "-f", "quillmere-test-stuck-peer"});
}

INSTANTIATE_TEST_SUITE_P(Ways, ManyUidsTest,
                         testing::Values(ManyUidsCase{"SubordinateIds", "65531:100000:65536\n", -1},
                                         ManyUidsCase{"OneLogin", "", 65531}),
                         CaseName{});

// Users other than root, however many, stop at their share: root always finds a place, and
// another member gets one once the idle connections have been closed.
TEST_F(FaultTest, RootAlwaysFindsAPlaceAndIdleConnectionsGiveTheirsBack) {
  SandboxedHelper helper{SandboxOptions{.bindMounts = {helperGroupFile()}}};
  ASSERT_TRUE(helper.started());
  const std::string peer = SandboxedHelper::insideBinary("quillmere-test-stuck-peer") + " " +
                           std::string{helperSocketPath} + " silent 32";
  for (int uid = 65520; uid < 65528; ++uid) {
    const std::string output = "/tmp/silent-" + std::to_string(uid) + ".out";
    ASSERT_TRUE(startInBackground(helper, as(uid, true) + peer, output, "ready"));
  }
  // 8 x 32 = 256 connections, of which users other than root may hold 240. The peers are ready
  // once their connections are queued; the daemon may still be taking them in.
  EXPECT_EQ(awaitLinesLike(helper, "Quillmere Helper: Refused connection from uid 6552",
                           "): too many connections at once", 16),
            16u);
  EXPECT_EQ(VarlinkTestClient{helper.socketPath()}.call(helperCall("GetVersion")), versionReply);

  const std::string call = callAs(65519, true, helperCall("GetVersion"));
  const auto turnedAway = helper.runInside({"/bin/sh", "-c", call});
  EXPECT_NE(turnedAway.standardOutput, versionReply.dump() + "\n") << "the share is taken";
  // The silent connections are closed after the idle time; a member gets through then.
  std::string served;
  for (int attempt = 0; attempt < 90 && served != versionReply.dump() + "\n"; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    served = helper.runInside({"/bin/sh", "-c", call}).standardOutput;
  }
  EXPECT_EQ(served, versionReply.dump() + "\n");
  helper.runInside({"/usr/bin/pkill", "-9", "-f", "quillmere-test-stuck-peer"});
}

// A connection that sends no whole call for the idle time is closed: quietly when it sent
// nothing, with its reason when it stopped half-way through a call.
TEST_F(FaultTest, IdleConnectionsAreClosed) {
  SandboxedHelper helper;
  ASSERT_TRUE(helper.started());
  VarlinkTestClient silent{helper.socketPath()};
  VarlinkTestClient halfWay{helper.socketPath()};
  VarlinkTestClient served{helper.socketPath()};
  ASSERT_TRUE(halfWay.sendPart(R"({"method":"com.quillmere.helper.GetVer)"));
  EXPECT_EQ(served.call(helperCall("GetVersion")), versionReply);

  EXPECT_EQ(silent.receive(std::chrono::seconds(45)), std::nullopt);
  EXPECT_EQ(silent.lastStatus(), varlink::MessageChannel::ReadStatus::EndOfStream);
  EXPECT_EQ(halfWay.receive(std::chrono::seconds(45)), std::nullopt);
  EXPECT_EQ(served.receive(std::chrono::seconds(45)), std::nullopt)
      << "after a reply, the idle time starts again";
  EXPECT_EQ(countLinesLike(helper, "Quillmere Helper: Closing connection: ", ""), 1u);
  EXPECT_EQ(helper.countLogLines(
                "Quillmere Helper: Closing connection: no whole call within the idle time"),
            1u);
}

// A stranger flooding the socket with connections gets a few refusal lines and one count of the
// rest, not a line each: the journal would drop the daemon's other lines past its burst limit.
TEST_F(FaultTest, AFloodOfRefusalsLogsAFewLinesAndACount) {
  SandboxedHelper helper{SandboxOptions{.bindMounts = {helperGroupFile()}}};
  ASSERT_TRUE(helper.started());
  ASSERT_EQ(helper.runInside({"/bin/chmod", "0666", std::string{helperSocketPath}}).status, 0);
  ASSERT_TRUE(startInBackground(helper,
                                as(65534, false) +
                                    SandboxedHelper::insideBinary("quillmere-test-stuck-peer") +
                                    " " + std::string{helperSocketPath} + " silent 500",
                                "/tmp/flood.out", "ready"));
  EXPECT_TRUE(helper.waitForLogLine(
      "Quillmere Helper: Left out 480 more refusal lines for uid 65534 in 30 s", 1,
      std::chrono::seconds(40)));
  EXPECT_EQ(countLinesLike(helper, "Quillmere Helper: Refused connection from uid 65534 (pid ", ""),
            20u);
  EXPECT_EQ(VarlinkTestClient{helper.socketPath()}.call(helperCall("GetVersion")), versionReply);
  helper.runInside({"/usr/bin/pkill", "-9", "-f", "quillmere-test-stuck-peer"});
}

constexpr std::size_t messageLimit = std::size_t{16} * 1024 * 1024;
constexpr int stranger = 65534;

struct RefusedPeerCase {
  const char* name;
  std::string bytes;  // what the stranger sends, NULs included
};

class RefusedPeerTest : public FaultTest, public testing::WithParamInterface<RefusedPeerCase> {};

// Whatever a stranger sends, it gets one PermissionDenied, read before the daemon hangs up, and
// the daemon neither reads it as JSON nor spends on it more than reading it takes.
TEST_P(RefusedPeerTest, GetsOnePermissionDeniedWhateverItSends) {
  if (builtWithThreadSanitizer) {
    GTEST_SKIP() << "the peer forks into the sandbox, which ThreadSanitizer's own thread prevents";
  }
  SandboxedHelper helper{SandboxOptions{.bindMounts = {helperGroupFile()}}};
  ASSERT_TRUE(helper.started());
  ASSERT_EQ(helper.runInside({"chmod", "0666", std::string{helperSocketPath}}).status, 0);
  const PeerExchange exchange = exchangeAs(helper, {stranger}, GetParam().bytes);
  ASSERT_TRUE(exchange.connected);
  EXPECT_EQ(splitMessages(exchange.received),
            std::vector<std::string>{varlinkError("PermissionDenied").dump()});
  EXPECT_EQ(exchange.receiveError, 0) << "the answer is read before an orderly end";
  EXPECT_EQ(exchange.sendError, 0);
  EXPECT_EQ(
      countLinesLike(helper, "Quillmere Helper: Refused connection from uid 65534 (pid ", ")"), 1u);
  EXPECT_EQ(countLinesLike(helper, "Quillmere Helper: Closing connection", ""), 0u);
  EXPECT_EQ(VarlinkTestClient{helper.socketPath()}.call(helperCall("GetVersion")), versionReply);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RefusedPeerTest,
    testing::Values(
        RefusedPeerCase{"NotJson", std::string{"hello", 6}},
        RefusedPeerCase{"ArrayOfEmptyObjectsAsLargeAsAllowed",
                        arrayOfEmptyObjects(messageLimit) + '\0'},
        RefusedPeerCase{"OnewayCall", R"({"method":"com.quillmere.helper.ExecuteShellScript",)"
                                      R"("parameters":{"script":"true"},"oneway":true})" +
                                          std::string(1, '\0')},
        // The daemon hangs up with none of this read: unread bytes would reset the connection.
        RefusedPeerCase{"CallFollowedByMoreCalls",
                        [] {
                          std::string calls;
                          while (calls.size() < 4 * 1024 * 1024) {
                            calls += helperCall("GetVersion") + '\0';
                          }
                          return calls;
                        }()}),
    CaseName{});

// A member's messages of millions of values, as large as the protocol allows: each is closed with
// its reason, having cost the daemon memory of a small multiple of the message limit, and the
// daemon serves on.
TEST_F(FaultTest, AMembersMessageOfMillionsOfValuesIsClosedWithLittleMemory) {
  if (builtWithThreadSanitizer) {
    GTEST_SKIP() << "the peer forks into the sandbox, which ThreadSanitizer's own thread prevents";
  }
  SandboxedHelper helper{SandboxOptions{.bindMounts = {helperGroupFile()}}};
  ASSERT_TRUE(helper.started());
  const auto peakKiB = [&helper] {
    const auto read = helper.runInside(
        {"/bin/sh", "-c", "awk '/^VmHWM:/ {print $2}' /proc/$(pidof quillmere-helper)/status"});
    return std::stol(read.standardOutput);
  };
  const long before = peakKiB();
  const PeerIdentity member{65533, helperGroupId};
  const std::string head = R"({"method":"com.quillmere.helper.GetVersion","parameters":{"n":)";
  const std::string messages[] = {
      arrayOfEmptyObjects(messageLimit),
      head + arrayOfEmptyObjects(messageLimit - head.size() - 2) + "}}",
  };
  for (const std::string& message : messages) {
    const PeerExchange exchange = exchangeAs(helper, member, message + '\0');
    EXPECT_TRUE(exchange.connected);
    EXPECT_EQ(exchange.received, "") << "closed without a reply";
  }
  EXPECT_TRUE(
      helper.waitForLogLine("Quillmere Helper: Closing connection: more than 1024 JSON values", 2));
  if (!builtWithSanitizer) {
    EXPECT_LT(peakKiB() - before, 4 * 16 * 1024) << "KiB the daemon's peak grew by";
  }
  EXPECT_EQ(VarlinkTestClient{helper.socketPath()}.call(helperCall("GetVersion")), versionReply);
}

}  // namespace
}  // namespace quillmere::testing_support
