// WireGuard requests through the real daemon started in a multibyte locale, as systemd starts a
// service in the system's locale: a configuration path reaches wg-quick as the one argument it
// was, and nothing a path holds runs.

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

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;

class WireGuardLocaleTest : public testing::TestWithParam<MultibyteLocale> {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
    // Not under /tmp or /run, which the sandbox covers with its own.
    char pattern[] = "/var/tmp/quillmere-locale-XXXXXX";
    scratch_ = ::mkdtemp(pattern);
    std::ofstream{scratch_ + "/wg-quick"} << recordingProgram("/tmp/wg-quick-calls");
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

  std::string scratch_;
};

TEST_P(WireGuardLocaleTest, ConfigurationPathsReachWgQuickWhole) {
  const auto locale = buildLocale(GetParam(), scratch_);
  if (!locale) {
    GTEST_SKIP() << "localedef cannot build " << GetParam().source << "." << GetParam().charmap
                 << " here (package locales)";
  }
  std::string exported = "export";
  for (const std::string& entry : *locale) exported += " " + entry;
  SandboxedHelper helper{SandboxOptions{
      .bindMounts = {{scratch_ + "/wg-quick", "/usr/bin/wg-quick"}},
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

}  // namespace
}  // namespace quillmere::testing_support
