#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "helper/WireGuardScripts.h"
#include "platform/Processes.h"
#include "tests/support/BuiltLocale.h"
#include "tests/support/CaseName.h"
#include "tests/support/RecordingProgram.h"

namespace quillmere {
namespace {

constexpr std::string_view homebrewWgQuick = "/opt/homebrew/bin/wg-quick";

TEST(WireGuardScriptsTest, UpScriptForTheWorkedExample) {
  const std::string script = wireGuardUpScript(homebrewWgQuick, "/etc/wg/wg0.conf");
  EXPECT_EQ(script.size(), 714u);
  EXPECT_EQ(script,
            "# Cleanup any existing interface\n"
            "NAME_FILE=\"/var/run/wireguard/wg0.name\"\n"
            "if [ -f \"$NAME_FILE\" ]; then\n"
            "  ACTUAL_INTERFACE=$(cat \"$NAME_FILE\")\n"
            "  /opt/homebrew/bin/wg-quick down \"/etc/wg/wg0.conf\" 2>/dev/null || "
            "/opt/homebrew/bin/wg-quick down \"wg0\" 2>/dev/null || true\n"
            "  rm -f \"/var/run/wireguard/$ACTUAL_INTERFACE.sock\" 2>/dev/null || true\n"
            "  rm -f \"$NAME_FILE\" 2>/dev/null || true\n"
            "else\n"
            "  /opt/homebrew/bin/wg-quick down \"/etc/wg/wg0.conf\" 2>/dev/null || true\n"
            "fi\n"
            "pkill -9 wireguard-go 2>/dev/null || true\n"
            "rm -f /var/run/wireguard/*.sock 2>/dev/null || true\n"
            "rm -f /var/run/wireguard/*.name 2>/dev/null || true\n"
            "rm -rf /var/run/wireguard/* 2>/dev/null || true\n"
            "\n"
            "# Connect\n"
            "/opt/homebrew/bin/wg-quick up \"/etc/wg/wg0.conf\"");
}

TEST(WireGuardScriptsTest, DownScriptForTheWorkedExample) {
  const std::string script = wireGuardDownScript(homebrewWgQuick, "/etc/wg/wg0.conf");
  EXPECT_EQ(script.size(), 216u);
  EXPECT_EQ(script,
            "/opt/homebrew/bin/wg-quick down \"/etc/wg/wg0.conf\" 2>/dev/null || true\n"
            "pkill -9 wireguard-go 2>/dev/null || true\n"
            "rm -f /var/run/wireguard/*.sock 2>/dev/null || true\n"
            "rm -f /var/run/wireguard/*.name 2>/dev/null || true");
}

TEST(WireGuardScriptsTest, ABlankStaysInsideTheTemplatesQuotes) {
  const std::string script =
      wireGuardUpScript("/usr/local/bin/wg-quick", "/Users/me/My Tunnels/home.conf");
  EXPECT_TRUE(script.ends_with("\n/usr/local/bin/wg-quick up \"/Users/me/My Tunnels/home.conf\""))
      << script;
}

struct NameCase {
  const char* name;
  std::string configPath;
  std::string interfaceName;
};

class InterfaceNameTest : public testing::TestWithParam<NameCase> {};

TEST_P(InterfaceNameTest, TakesEveryConfOutOfTheLastComponent) {
  EXPECT_EQ(wireGuardInterfaceName(GetParam().configPath), GetParam().interfaceName);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, InterfaceNameTest,
    testing::Values(NameCase{"Plain", "/etc/wg/wg0.conf", "wg0"},
                    NameCase{"Twice", "/etc/wg/office.conf.conf", "office"},
                    NameCase{"InsideALongerExtension", "/etc/wg/wg0.config", "wg0ig"},
                    NameCase{"CaseSensitive", "/etc/wg/WG0.CONF", "WG0.CONF"},
                    NameCase{"NoExtension", "/etc/wg/tunnel", "tunnel"},
                    NameCase{"Relative", "wg1.conf", "wg1"},
                    NameCase{"InTheMiddle", "/x/a.confb", "ab"},
                    NameCase{"TrailingSlashIgnored", "/etc/wg/dir.conf/", "dir"},
                    NameCase{"OnlyConf", "/etc/.conf", ""}, NameCase{"Empty", "", ""},
                    NameCase{"Root", "/", "/"}),
    testing_support::CaseName{});

TEST(WireGuardScriptsTest, EscapesOnlyWhatKeepsAMeaningInsideDoubleQuotes) {
  EXPECT_EQ(escapeForDoubleQuotes("/plain/path with blank.conf"), "/plain/path with blank.conf");
  EXPECT_EQ(escapeForDoubleQuotes(R"(a"b$c`d\e)"), R"(a\"b\$c\`d\\e)");
  EXPECT_EQ(escapeForDoubleQuotes("new\nline 'single' !bang"), "new\nline 'single' !bang");
}

TEST(WireGuardScriptsTest, BytesOutsideAsciiAreSpeltOutBetweenClosedQuotes) {
  EXPECT_EQ(escapeForDoubleQuotes("/home/jos\xc3\xa9/wg0.conf"),
            R"(/home/jos"$'\xc3\xa9'"/wg0.conf)");
  EXPECT_EQ(escapeForDoubleQuotes("\xe4\xb8\xad\"\xe3\x81\x81"),
            R"("$'\xe4\xb8\xad'"\""$'\xe3\x81\x81'")");
  const std::string script = wireGuardUpScript("/usr/bin/wg-quick", "/home/jos\xc3\xa9/wg0.conf");
  EXPECT_TRUE(std::all_of(script.begin(), script.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  })) << "the script holds ASCII only, so no locale can read it differently";
}

// Hostile configuration paths run through real bash, in a private mount and PID namespace so the
// scripts' clean-up touches nothing of the host. wg-quick is a stand-in that records its
// arguments; nothing else may run.
class ScriptSandboxTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "running the scripts in a private namespace needs root (CI runs as root)";
    }
    char pattern[] = "/tmp/quillmere-wg-scripts-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    wgQuick_ = directory_ + "/wg-quick";
    std::ofstream{wgQuick_} << testing_support::recordingProgram(
        directory_ + "/calls", "[ \"$1\" = down ] && exit 1\nexit 0\n");
    ::chmod(wgQuick_.c_str(), 0755);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  // Runs `script`, with a name file for `interfaceName` present when asked; returns the
  // recorded wg-quick calls, one argument list each.
  std::vector<std::vector<std::string>> run(const std::string& script,
                                            const std::string& interfaceName, bool nameFile,
                                            const std::vector<std::string>& locale = {}) {
    const std::string scriptPath = directory_ + "/script.sh";
    std::ofstream{scriptPath} << script;
    const auto outcome = platform::runProcess(platform::SpawnSpec{
        "/usr/bin/unshare",
        {"--mount", "--pid", "--fork", "--mount-proc", "/bin/bash", "-c",
         "mount -t tmpfs tmpfs /run && mkdir /run/wireguard && "
         "if [ \"$3\" = yes ]; then printf wgX > \"/run/wireguard/$1.name\"; fi && "
         "cd \"$4\" && exec /bin/bash \"$2\"",
         "sandbox", interfaceName, scriptPath, nameFile ? "yes" : "no", directory_},
        withLocale(locale),
        platform::OutputMode::Capture,
        platform::OutputMode::Capture,
    });
    EXPECT_TRUE(outcome.has_value());
    auto calls = testing_support::recordedCalls(directory_ + "/calls");
    std::filesystem::remove(directory_ + "/calls");
    return calls;
  }

  // This process's environment with `locale` ("LANG=...", "LOCPATH=...") in place of its own.
  static std::vector<std::string> withLocale(const std::vector<std::string>& locale) {
    std::vector<std::string> environment;
    for (std::string& entry : platform::currentEnvironment()) {
      if (!entry.starts_with("LC_") && !entry.starts_with("LANG") &&
          !entry.starts_with("LOCPATH=")) {
        environment.push_back(std::move(entry));
      }
    }
    environment.insert(environment.end(), locale.begin(), locale.end());
    return environment;
  }

  // The intended wg-quick calls of the up script (without and with a name file) and of the
  // down script for `path`, checked under `locale`.
  void expectOnlyTheIntendedCalls(const std::string& path,
                                  const std::vector<std::string>& locale = {}) {
    const std::string interfaceName = wireGuardInterfaceName(path);
    EXPECT_EQ(run(wireGuardUpScript(wgQuick_, path), interfaceName, false, locale),
              (std::vector<std::vector<std::string>>{{"down", path}, {"up", path}}));
    EXPECT_EQ(run(wireGuardUpScript(wgQuick_, path), interfaceName, true, locale),
              (std::vector<std::vector<std::string>>{
                  {"down", path}, {"down", interfaceName}, {"up", path}}));
    EXPECT_EQ(run(wireGuardDownScript(wgQuick_, path), interfaceName, false, locale),
              (std::vector<std::vector<std::string>>{{"down", path}}));
    EXPECT_FALSE(injected());
  }

  bool injected() const { return std::filesystem::exists(directory_ + "/injected"); }

  std::string directory_;
  std::string wgQuick_;
};

class HostilePathTest : public ScriptSandboxTest, public testing::WithParamInterface<NameCase> {};

TEST_P(HostilePathTest, RunsNothingButTheIntendedWgQuickCalls) {
  expectOnlyTheIntendedCalls(GetParam().configPath);
}

// Each path tries to create the file "injected" in the working directory.
INSTANTIATE_TEST_SUITE_P(
    Paths, HostilePathTest,
    testing::Values(NameCase{"CommandSubstitution", "/etc/wg/$(touch injected).conf", ""},
                    NameCase{"Backquotes", "/etc/wg/`touch injected`.conf", ""},
                    NameCase{"ClosingQuote", "/etc/wg/x\"; touch injected; echo \".conf", ""},
                    NameCase{"BackslashBeforeQuote", "/etc/wg/x\\\"; touch injected #.conf", ""},
                    NameCase{"TrailingBackslash", "/etc/wg/x.conf\\", ""},
                    NameCase{"Variables", "/etc/wg/$HOME${IFS}$0.conf", ""},
                    NameCase{"LineFeed", "/etc/wg/a\ntouch injected\n.conf", ""},
                    NameCase{"SingleQuotesAndBang", "/etc/wg/it's!here.conf", ""},
                    NameCase{"BashsOwnMarkerBytes", "/etc/wg/\x01\x7f\x01.conf", ""},
                    NameCase{"NonAscii", "/home/jos\xc3\xa9/\xe4\xb8\xad wg0.conf", ""}),
    testing_support::CaseName{});

class MultibyteLocaleTest : public ScriptSandboxTest,
                            public testing::WithParamInterface<testing_support::MultibyteLocale> {};

TEST_P(MultibyteLocaleTest, InsertedValuesStayOneArgument) {
  const auto locale = testing_support::buildLocale(GetParam(), directory_);
  if (!locale) {
    GTEST_SKIP() << "localedef cannot build " << GetParam().source << "." << GetParam().charmap
                 << " here (package locales)";
  }
  std::vector<std::string> paths = testing_support::swallowingPaths(GetParam().swallower);
  paths.push_back("/home/jos\xc3\xa9/wg0.conf");
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    expectOnlyTheIntendedCalls(path, *locale);
  }
}

INSTANTIATE_TEST_SUITE_P(Locales, MultibyteLocaleTest,
                         testing::ValuesIn(testing_support::multibyteLocales()),
                         testing_support::CaseName{});

}  // namespace
}  // namespace quillmere
