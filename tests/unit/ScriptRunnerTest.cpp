// The script runner on the real /bin/bash, through Helper::executeShellScript.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "helper/Helper.h"
#include "helper/ScriptRunner.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/CaseName.h"
#include "tests/support/UuidForm.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing_support::CapturingLogger;
using testing_support::CaseName;

constexpr std::string_view executingLine = "Quillmere Helper: Executing shell script";
constexpr std::string_view successLine = "Quillmere Helper: Script executed successfully";
constexpr std::size_t kMebibyte = 1024 * 1024;

// What one call of the runner gave back.
struct Call {
  std::vector<CommandResult> replies;
  std::vector<std::string> filesAtReply;  // the script directory's entries when the reply came
};

class ScriptRunnerTest : public testing::Test {
 protected:
  void TearDown() override { fs::remove_all(directory_); }

  Call run(const std::string& script) { return runWith(settings(), script); }

  Call runWith(HelperSettings helperSettings, const std::string& script) {
    Helper helper{logger_, std::move(helperSettings)};
    Call result;
    helper.executeShellScript(script, [&](const CommandResult& reply) {
      result.replies.push_back(reply);
      result.filesAtReply = files();
    });
    return result;
  }

  HelperSettings settings() const {
    HelperSettings helperSettings = HelperSettings{};
    helperSettings.scriptDirectory = directory_;
    return helperSettings;
  }

  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  CapturingLogger logger_;
  std::string directory_ = [] {
    char pattern[] = "/tmp/quillmere-runner-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
};

struct ScriptCase {
  const char* name;
  std::string script;
  CommandResult result;
  std::string closingLine;
};

class RunnerOutcomeTest : public ScriptRunnerTest,
                          public testing::WithParamInterface<ScriptCase> {};

TEST_P(RunnerOutcomeTest, RepliesOnceLogsTwoLinesAndRemovesTheFileFirst) {
  const ScriptCase& c = GetParam();
  const Call result = run(c.script);
  ASSERT_EQ(result.replies.size(), 1u);
  EXPECT_EQ(result.replies[0], c.result);
  EXPECT_EQ(logger_.lines(), (std::vector<std::string>{std::string{executingLine}, c.closingLine}));
  EXPECT_TRUE(result.filesAtReply.empty()) << "the file is removed before the reply";
  EXPECT_TRUE(files().empty());
}

const std::string failedWith = "Quillmere Helper: Script failed with status ";

INSTANTIATE_TEST_SUITE_P(
    Runner, RunnerOutcomeTest,
    testing::Values(
        ScriptCase{"Empty", "", {true, "", std::nullopt}, std::string{successLine}},
        ScriptCase{"OneWordAndLineBreak",
                   "echo hello\n",
                   {true, "hello", std::nullopt},
                   std::string{successLine}},
        ScriptCase{"InnerLineBreaksKept",
                   "printf ' \\n a\\n\\n  b \\n\\n'",
                   {true, "a\n\n  b", std::nullopt},
                   std::string{successLine}},
        ScriptCase{"BlankLinesOnly",
                   "echo; echo; printf ' \\t\\n'",
                   {true, "", std::nullopt},
                   std::string{successLine}},
        ScriptCase{"StandardErrorDroppedOnSuccess",
                   "echo out; echo err >&2",
                   {true, "out", std::nullopt},
                   std::string{successLine}},
        ScriptCase{"StatusThreeWithSilentStandardError",
                   "echo partial; exit 3",
                   {false, "partial", ""},
                   failedWith + "3"},
        ScriptCase{"BothStreamsOnFailure",
                   "echo out; echo '  why  ' >&2; exit 255",
                   {false, "out", "why"},
                   failedWith + "255"},
        ScriptCase{"InvalidUtf8OutputOnSuccess",
                   "printf 'ok\\377'",
                   {true, std::nullopt, std::nullopt},
                   std::string{successLine}},
        ScriptCase{"InvalidUtf8ErrorOnFailure",
                   "echo fine; printf '\\300\\200' >&2; exit 1",
                   {false, "fine", std::nullopt},
                   failedWith + "1"},
        ScriptCase{"KilledBySignalNine",
                   "echo before; kill -9 $$",
                   {false, "before", ""},
                   failedWith + "9"},
        ScriptCase{"NonAsciiScriptBytesKept",
                   "echo '\xC3\xA9t\xC3\xA9 \xE2\x82\xAC'",
                   {true, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", std::nullopt},
                   std::string{successLine}},
        ScriptCase{"UnicodeWhiteSpaceTrimmed",
                   "printf '\\302\\240\\343\\200\\200x y\\342\\200\\250'",
                   {true, "x y", std::nullopt},
                   std::string{successLine}},
        ScriptCase{"DeletesItsOwnFile",
                   "rm -- \"$0\"; echo gone",
                   {true, "gone", std::nullopt},
                   std::string{successLine}},
        // The reply waits until the background job, which holds standard output, is done.
        ScriptCase{"BackgroundJobHoldsOutputOpen",
                   "(sleep 0.3; echo late) & echo early",
                   {true, "early\nlate", std::nullopt},
                   std::string{successLine}}),
    CaseName{});

TEST_F(ScriptRunnerTest, LargeStreamsInEitherOrderComeBackWhole) {
  const Call result =
      run("head -c 1048576 /dev/zero | tr '\\0' e >&2\n"
          "head -c 1048576 /dev/zero | tr '\\0' o\n"
          "exit 1\n");
  ASSERT_EQ(result.replies.size(), 1u);
  const CommandResult& reply = result.replies[0];
  EXPECT_FALSE(reply.success);
  ASSERT_TRUE(reply.output && reply.error);
  EXPECT_TRUE(*reply.output == std::string(kMebibyte, 'o')) << reply.output->size();
  EXPECT_TRUE(*reply.error == std::string(kMebibyte, 'e')) << reply.error->size();
}

// What the script sees: its name, its arguments, PATH, working directory, file and mode.
TEST_F(ScriptRunnerTest, ScriptSeesItsOwnFileTheFixedPathAndTheDaemonsDirectory) {
  const std::string script =
      "printf '%s\\n' \"$0\" \"$#\" \"$PATH\" \"$(pwd -P)\" \"$(stat -c %a \"$0\")\" "
      "\"$(wc -c < \"$0\")\" \"$QUILLMERE_INHERITED\"";
  ::setenv("QUILLMERE_INHERITED", "kept", 1);
  const Call result = run(script);
  ::unsetenv("QUILLMERE_INHERITED");
  ASSERT_EQ(result.replies.size(), 1u);
  ASSERT_TRUE(result.replies[0].output);
  std::vector<std::string> seen;
  std::istringstream lines{*result.replies[0].output};
  for (std::string line; std::getline(lines, line);) seen.push_back(line);
  ASSERT_EQ(seen.size(), 7u) << *result.replies[0].output;

  const fs::path name = fs::path{seen[0]}.filename();
  EXPECT_EQ(fs::path{seen[0]}.parent_path(), directory_);
  EXPECT_EQ(seen[0], directory_ + "/" + name.string()) << "one separator";
  EXPECT_EQ(name.string().size(), 49u);
  EXPECT_TRUE(name.string().starts_with("quillmere-") && name.string().ends_with(".sh") &&
              testing_support::isUpperUuidV4(name.string().substr(10, 36)))
      << name;
  EXPECT_EQ(seen[1], "0") << "no positional parameters";
  EXPECT_EQ(seen[2], "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
  EXPECT_EQ(seen[2].size(), 62u);
  EXPECT_EQ(seen[3], fs::canonical(fs::current_path()).string());
  EXPECT_EQ(seen[4], "755");
  EXPECT_EQ(seen[5], std::to_string(script.size())) << "the script bytes and nothing added";
  EXPECT_EQ(seen[6], "kept") << "the rest of the environment passes";
}

TEST_F(ScriptRunnerTest, EmptyTmpdirMeansTmp) {
  EXPECT_EQ(temporaryDirectory(nullptr), "/tmp");
  EXPECT_EQ(temporaryDirectory(""), "/tmp");
  EXPECT_EQ(temporaryDirectory("/var/tmp"), "/var/tmp");
  EXPECT_EQ(joinPath("/var/tmp/", "f.sh"), "/var/tmp/f.sh");
  EXPECT_EQ(joinPath("/var/tmp", "f.sh"), "/var/tmp/f.sh");
  EXPECT_EQ(joinPath("/", "f.sh"), "/f.sh");
}

// The failure path: the description in the log line and in the reply are the same, the reply
// carries no output, and a file this call placed goes only after the reply.
struct StartFailureCase {
  const char* name;
  std::string directorySuffix;  // appended to the test's directory
  std::string bashPath;
  std::string descriptionHead;
  std::string descriptionTail;
  bool fileAtReply;
};

class StartFailureTest : public ScriptRunnerTest,
                         public testing::WithParamInterface<StartFailureCase> {};

TEST_P(StartFailureTest, RepliesWithTheDescriptionAndLogsIt) {
  const StartFailureCase& c = GetParam();
  HelperSettings helperSettings = settings();
  helperSettings.scriptDirectory = directory_ + c.directorySuffix;
  helperSettings.bashPath = c.bashPath;
  const Call result = runWith(helperSettings, "echo never");

  ASSERT_EQ(result.replies.size(), 1u);
  const CommandResult& reply = result.replies[0];
  EXPECT_FALSE(reply.success);
  EXPECT_EQ(reply.output, std::nullopt);
  const auto lines = logger_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], executingLine);
  const std::string logPrefix = "Quillmere Helper: Error executing script: ";
  ASSERT_TRUE(lines[1].starts_with(logPrefix)) << lines[1];
  const std::string description = lines[1].substr(logPrefix.size());
  EXPECT_TRUE(description.starts_with(c.descriptionHead)) << description;
  EXPECT_TRUE(description.ends_with(c.descriptionTail)) << description;
  EXPECT_EQ(reply.error, "Failed to execute script: " + description);
  EXPECT_EQ(result.filesAtReply.size(), c.fileAtReply ? 1u : 0u);
  EXPECT_TRUE(files().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StartFailureTest,
    testing::Values(StartFailureCase{"MissingDirectory", "/missing", "/bin/bash",
                                     "Could not write the script file /tmp/quillmere-runner-",
                                     ".sh: No such file or directory", false},
                    StartFailureCase{"ShellCannotStart", "", "/nonexistent/bash",
                                     "Could not run /nonexistent/bash: No such file or directory",
                                     "", true}),
    CaseName{});

TEST_F(ScriptRunnerTest, ReadOnlyDirectoryFailsWithoutRoot) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "root writes into any directory; the system test covers a "
                    "read-only file system";
  ::chmod(directory_.c_str(), 0555);
  const Call result = run("echo never");
  ::chmod(directory_.c_str(), 0755);
  ASSERT_EQ(result.replies.size(), 1u);
  ASSERT_TRUE(result.replies[0].error);
  EXPECT_TRUE(result.replies[0].error->ends_with(": Permission denied"))
      << *result.replies[0].error;
}

TEST_F(ScriptRunnerTest, DirectoryOthersMayChangeIsNotWrittenTo) {
  // Another user could swap the file between its writing and its running.
  ::chmod(directory_.c_str(), 0777);
  const Call result = run("echo never");
  ASSERT_EQ(result.replies.size(), 1u);
  const std::string description = "Unsafe temporary directory " + directory_ + ": " + directory_ +
                                  " is writable by other users and not sticky";
  EXPECT_EQ(result.replies[0].error, "Failed to execute script: " + description);
  EXPECT_EQ(result.replies[0].output, std::nullopt);
  EXPECT_EQ(logger_.lines().back(), "Quillmere Helper: Error executing script: " + description);
  EXPECT_TRUE(files().empty());
}

TEST_F(ScriptRunnerTest, CallsAtTheSameTimeUseTheirOwnFilesAndResults) {
  constexpr int kCalls = 4;
  std::vector<Call> runs(kCalls);
  std::vector<std::thread> threads;
  for (int call = 0; call < kCalls; ++call) {
    threads.emplace_back([&, call] {
      // Each script waits until all the others have their files, so all run at once.
      runs[static_cast<std::size_t>(call)] =
          run("echo \"" + std::to_string(call) +
              " $0\"; n=0\n"
              "while [ \"$(ls " +
              directory_ + " | grep -c '^quillmere-')\" -lt " + std::to_string(kCalls) +
              " ] && [ $n -lt 200 ]; do sleep 0.01; n=$((n+1)); done\n"
              "exit " +
              std::to_string(call));
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> paths;
  for (int call = 0; call < kCalls; ++call) {
    const Call& result = runs[static_cast<std::size_t>(call)];
    ASSERT_EQ(result.replies.size(), 1u);
    ASSERT_TRUE(result.replies[0].output);
    const std::string prefix = std::to_string(call) + " ";
    ASSERT_TRUE(result.replies[0].output->starts_with(prefix)) << *result.replies[0].output;
    paths.insert(result.replies[0].output->substr(prefix.size()));
    EXPECT_EQ(result.replies[0].success, call == 0);
  }
  EXPECT_EQ(paths.size(), static_cast<std::size_t>(kCalls));
  EXPECT_EQ(logger_.lines().size(), 2u * kCalls);
  EXPECT_TRUE(files().empty());
}

}  // namespace
}  // namespace quillmere
