// WireGuard requests through the real daemon with a recording stand-in for wg-quick: paths under
// multibyte locales, and requests that wait for their turn.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/BuiltLocale.h"
#include "tests/support/CaseName.h"
#include "tests/support/RecordingProgram.h"
#include "tests/support/SandboxedHelper.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;

class WireGuardRequestTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
    // Not under /tmp or /run, which the sandbox covers with its own.
    char pattern[] = "/var/tmp/quillmere-locale-XXXXXX";
    scratch_ = ::mkdtemp(pattern);
    // "up" holds on while /tmp/hold-up exists, as a tunnel whose PreUp hangs would.
    std::ofstream{scratch_ + "/wg-quick"} << recordingProgram(
        "/tmp/wg-quick-calls",
        "if [ \"$1\" = up ]; then while [ -e /tmp/hold-up ]; do sleep 0.05; done; fi\n");
    fs::permissions(scratch_ + "/wg-quick", fs::perms{0755});
  }
  void TearDown() override {
    std::error_code ignored;
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
  }

  static std::string shellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string{"'\\''"} : std::string{c};
    return quoted + "'";
  }

  std::vector<std::pair<std::string, std::string>> standInWgQuick() const {
    return {{scratch_ + "/wg-quick", "/usr/bin/wg-quick"}};
  }

  std::string scratch_;
};

// The daemon is started in the locale, as systemd starts a service in the system's: a
// configuration path reaches wg-quick as the one argument it was, and nothing a path holds runs.
class WireGuardLocaleTest : public WireGuardRequestTest,
                            public testing::WithParamInterface<MultibyteLocale> {};

TEST_P(WireGuardLocaleTest, ConfigurationPathsReachWgQuickWhole) {
  const auto locale = buildLocale(GetParam(), scratch_);
  if (!locale) {
    GTEST_SKIP() << "localedef cannot build " << GetParam().source << "." << GetParam().charmap
                 << " here (package locales)";
  }
  std::string exported = "export";
  for (const std::string& entry : *locale) exported += " " + entry;
  SandboxedHelper helper{SandboxOptions{
      .bindMounts = standInWgQuick(),
      .setup = {exported, "cd /tmp"},
  }};
  ASSERT_TRUE(helper.started());

  std::vector<std::string> paths = swallowingPaths(GetParam().swallower);
  paths.push_back("/tmp/home/jos\xc3\xa9/wg0.conf");
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const std::string cli = SandboxedHelper::insideBinary("quillmere-cli");
    const auto outcome = helper.runInside(
        {"/bin/bash", "-c",
         "cd /tmp && mkdir -p -- " + shellQuoted(path) + " && rm -f /tmp/wg-quick-calls && " + cli +
             " wg-up " + shellQuoted(path) + " && " + cli + " wg-down " + shellQuoted(path)});
    EXPECT_EQ(outcome.status, 0) << outcome.standardOutput << outcome.standardError;
    EXPECT_EQ(
        recordedCalls(helper.hostPath("/tmp/wg-quick-calls")),
        (std::vector<std::vector<std::string>>{{"down", path}, {"up", path}, {"down", path}}));
    EXPECT_FALSE(fs::exists(helper.hostPath("/tmp/injected"))) << "a path ran a command as root";
  }
}

INSTANTIATE_TEST_SUITE_P(Locales, WireGuardLocaleTest, testing::ValuesIn(multibyteLocales()),
                         CaseName{});

// Behind an "up" that hangs: a mistaken request is answered at once, and one whose caller gives
// up while it waits is dropped, never to run after the hung one.
TEST_F(WireGuardRequestTest, RequestsCheckBeforeTheyWaitAndAreDroppedWhenTheirCallerGoes) {
  SandboxedHelper helper{SandboxOptions{
      .bindMounts = standInWgQuick(),
      .setup = {"touch /tmp/hold-up /tmp/a.conf /tmp/b.conf"},
  }};
  ASSERT_TRUE(helper.started());
  const std::string cli = SandboxedHelper::insideBinary("quillmere-cli");
  helper.runInside({"/bin/sh", "-c", cli + " wg-up /tmp/a.conf >/tmp/a.out 2>&1 &"});
  ASSERT_TRUE(
      helper.waitForLogLine("Quillmere Helper: Found WireGuard via 'which': /usr/bin/wg-quick"));

  const auto mistaken = helper.runInside({cli, "wg-down", "/tmp/missing.conf"});
  EXPECT_EQ(mistaken.standardOutput, "ERROR: Configuration file not found: /tmp/missing.conf\n");
  EXPECT_EQ(mistaken.status, 1);

  {
    VarlinkTestClient leaving{helper.socketPath()};
    ASSERT_TRUE(leaving.send(helperCall("ExecuteWireGuardCommand",
                                        {{"command", "down"}, {"configPath", "/tmp/b.conf"}})));
    ASSERT_TRUE(helper.waitForLogLine(
        "Quillmere Helper: Executing WireGuard command: down for config: /tmp/b.conf"));
  }
  EXPECT_TRUE(helper.waitForLogLine(
      "Quillmere Helper: Dropped WireGuard command: down for config: /tmp/b.conf: the caller "
      "hung up while it waited for its turn"));

  fs::remove(helper.hostPath("/tmp/hold-up"));
  const auto next = helper.runInside({cli, "wg-down", "/tmp/a.conf"});
  EXPECT_EQ(next.status, 0) << next.standardOutput;
  EXPECT_EQ(recordedCalls(helper.hostPath("/tmp/wg-quick-calls")),
            (std::vector<std::vector<std::string>>{
                {"down", "/tmp/a.conf"}, {"up", "/tmp/a.conf"}, {"down", "/tmp/a.conf"}}))
      << "the abandoned request never ran";
}

}  // namespace
}  // namespace quillmere::testing_support
