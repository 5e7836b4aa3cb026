// The installed daemon started the way its units tell systemd to: nothing runs before the first
// connection, the first `quillmere-cli version` starts it, and once UninstallHelper has disabled
// the units nothing starts it again.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/HelperNames.h"
#include "protocol/VarlinkInterface.h"
#include "tests/support/SandboxedHelper.h"
#include "tests/support/UnitFile.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::testing_support {
namespace {

constexpr std::string_view startLine = "Quillmere Helper: Started and listening for connections";
constexpr int memberGid = 4242;

std::string generatedUnit(std::string_view name) {
  return std::string{QUILLMERE_DIST_DIR} + "/" + std::string{name};
}

class OnDemandStartTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
    char pattern[] = "/tmp/quillmere-test-XXXXXX";
    scratch_ = ::mkdtemp(pattern);
  }

  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }

  std::string writeFile(const std::string& name, const std::string& content, mode_t mode) {
    const std::string path = scratch_ + "/" + name;
    std::ofstream{path} << content;
    ::chmod(path.c_str(), mode);
    return path;
  }

  // quillmere-cli run by a member of the group, as a user of the desktop application runs it.
  static platform::ProcessOutcome cliAsMember(const SandboxedHelper& sandbox,
                                              const std::string& command) {
    return sandbox.runInside({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                              "--groups=" + std::to_string(memberGid), "--",
                              SandboxedHelper::insideBinary("quillmere-cli"), command});
  }

  // The installed daemon's process name, cut to the kernel's 15 characters.
  static std::string daemonProcessName() {
    return std::filesystem::path{helperInstallPath}.filename().string().substr(0, 15);
  }

  // Live daemons in the sandbox; a killed one whose parent is gone stays a zombie, not counted.
  static int runningDaemons(const SandboxedHelper& sandbox) {
    const auto outcome = sandbox.runInside(
        {"/usr/bin/pgrep", "--count", "--runstates", "R,S,D,T", "--exact", daemonProcessName()});
    return std::stoi(outcome.standardOutput.empty() ? "0" : outcome.standardOutput);
  }

  std::string scratch_;
};

TEST_F(OnDemandStartTest, UnitsNameTheFixedSocketGroupAndInstalledDaemon) {
  const auto socket = UnitFile::read(generatedUnit(helperSocketUnit));
  const auto service = UnitFile::read(generatedUnit(helperServiceUnit));
  ASSERT_TRUE(socket && service) << "generated units missing in " << QUILLMERE_DIST_DIR;
  EXPECT_EQ(socket->value("Socket", "ListenStream"), helperSocketPath);
  EXPECT_EQ(socket->value("Socket", "SocketMode"), "0660");
  EXPECT_EQ(socket->value("Socket", "SocketUser"), "root");
  EXPECT_EQ(socket->value("Socket", "SocketGroup"), helperGroupName);
  EXPECT_EQ(socket->value("Install", "WantedBy"), "sockets.target");
  EXPECT_EQ(service->value("Service", "ExecStart"), helperInstallPath);
  EXPECT_EQ(service->value("Service", "User"), "") << "the daemon runs as root";
  // Scripts go to a root-only directory; /tmp stays the system's, where callers' files are.
  EXPECT_EQ(service->value("Service", "PrivateTmp"), "");
  EXPECT_EQ(service->value("Service", "RuntimeDirectoryMode"), "0700");
  EXPECT_EQ(service->value("Service", "Environment"),
            "TMPDIR=/run/" + service->value("Service", "RuntimeDirectory"));
}

TEST_F(OnDemandStartTest, StartsOnTheFirstConnectionAndNotAfterRemoval) {
  const auto socket = UnitFile::read(generatedUnit(helperSocketUnit));
  const auto service = UnitFile::read(generatedUnit(helperServiceUnit));
  ASSERT_TRUE(socket && service);

  std::ifstream hostGroups{"/etc/group"};
  const std::string groupFile =
      writeFile("group",
                std::string{std::istreambuf_iterator<char>{hostGroups}, {}} +
                    std::string{helperGroupName} + ":x:" + std::to_string(memberGid) + ":\n",
                0644);
  // `systemctl disable --now` stops the socket unit, then the service: the daemon that asked.
  const std::string systemctl =
      writeFile("systemctl",
                "#!/bin/sh\necho \"$*\" >> /run/systemctl-calls\n" +
                    SandboxedHelper::stopSocketUnit() + "kill \"$PPID\"\n",
                0755);
  std::vector<std::string> setup = SandboxedHelper::installHelper();
  SandboxedHelper sandbox{
      SandboxOptions{.socketActivated =
                         SocketActivation{
                             .listenPath = socket->value("Socket", "ListenStream"),
                             .program = service->value("Service", "ExecStart"),
                             .mode = socket->value("Socket", "SocketMode"),
                             .group = socket->value("Socket", "SocketGroup"),
                         },
                     .bindMounts = {{groupFile, "/etc/group"}, {systemctl, "/bin/systemctl"}},
                     .setup = setup}};
  ASSERT_TRUE(sandbox.started());

  EXPECT_EQ(runningDaemons(sandbox), 0) << "nothing runs before the first connection";
  EXPECT_EQ(sandbox.countLogLines(startLine), 0u);

  auto version = cliAsMember(sandbox, "version");
  EXPECT_EQ(version.standardOutput, "Helper version: 1.0.0\n");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(runningDaemons(sandbox), 1);
  EXPECT_EQ(sandbox.countLogLines(startLine), 1u);

  // While the socket unit stays, a stopped daemon is started again by the next connection.
  ASSERT_EQ(sandbox.runInside({"/usr/bin/pkill", "--exact", daemonProcessName()}).status, 0);
  ASSERT_TRUE(sandbox.waitForActivationSocket(2));
  EXPECT_EQ(runningDaemons(sandbox), 0);
  version = cliAsMember(sandbox, "version");
  EXPECT_EQ(version.standardOutput, "Helper version: 1.0.0\n");
  EXPECT_EQ(sandbox.countLogLines(startLine), 2u);

  // The removal command stops the daemon before it can reply.
  ASSERT_TRUE(sandbox.socketUnitRunning());
  VarlinkTestClient client{sandbox.socketPath()};
  EXPECT_EQ(client.call(helperCall("UninstallHelper")), std::nullopt);
  std::ifstream calls{sandbox.hostPath("/run/systemctl-calls")};
  std::string call;
  ASSERT_TRUE(std::getline(calls, call));
  EXPECT_EQ(call, "disable --now com.quillmere.helper.socket com.quillmere.helper.service");

  // With the socket unit gone, nobody answers and nothing is started.
  EXPECT_FALSE(sandbox.socketUnitRunning()) << "the removal left the socket unit running";
  version = cliAsMember(sandbox, "version");
  EXPECT_EQ(version.standardOutput,
            "ERROR: Connection to helper invalidated\n"
            "ERROR: Failed to connect to helper: cannot reach the helper at "
            "/run/com.quillmere.helper.sock: No such file or directory\n"
            "ERROR: Failed to get version\n");
  EXPECT_EQ(version.status, 1);
  EXPECT_EQ(runningDaemons(sandbox), 0);
  EXPECT_EQ(sandbox.countLogLines(startLine), 2u);
}

}  // namespace
}  // namespace quillmere::testing_support
