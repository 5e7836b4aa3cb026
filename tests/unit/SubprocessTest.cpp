#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Processes.h"
#include "tests/support/CaseName.h"
#include "tests/support/Sanitizers.h"

extern char** environ;

namespace quillmere::platform {
namespace {

using testing_support::CaseName;

constexpr std::size_t kMebibyte = 1024 * 1024;
const char* const kShell = "/bin/sh";
const char* const kChildSearchPath = "PATH=/usr/bin:/bin";

SpawnSpec shellSpec(const std::string& script, OutputMode standardOutput = OutputMode::Capture,
                    OutputMode standardError = OutputMode::Capture) {
  return SpawnSpec{kShell, {"-c", script}, {kChildSearchPath}, standardOutput, standardError};
}

// Records a test failure when the spawn failed, so callers can go on checking the outcome.
ProcessOutcome outcomeOf(const Result<ProcessOutcome>& result) {
  if (!result) {
    ADD_FAILURE() << "spawn failed: errno " << result.error().number << " ("
                  << result.error().describe() << ")";
    return {};
  }
  return *result;
}

// Multi-MiB mismatches are reported by size and first differing offset, not dumped whole.
void expectSameBytes(const std::string& actual, const std::string& expected,
                     const std::string& what) {
  ASSERT_EQ(actual.size(), expected.size()) << what << " differs in length";
  if (actual.size() <= 256) {
    EXPECT_EQ(actual, expected) << what;
    return;
  }
  const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
  EXPECT_TRUE(mismatch.first == actual.end())
      << what << " first differs at offset " << (mismatch.first - actual.begin());
}

std::size_t countOpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// True when this process has no child left, reaped or not.
bool hasNoChildren() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// A private directory under the test temp dir, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = testing::TempDir() + "subprocess-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }

  std::filesystem::path writeFile(const std::string& name, const std::string& contents,
                                  mode_t mode) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << contents;
    ::chmod(file.c_str(), mode);
    return file;
  }

 private:
  std::filesystem::path path_;
};

// Points one of this process's descriptors at a file for the lifetime of the object.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int target, const std::filesystem::path& file, int openFlags)
      : target_(target) {
    std::fflush(nullptr);
    saved_ = ::fcntl(target_, F_DUPFD_CLOEXEC, 3);  // stays -1 when the target was closed
    const int replacement = ::open(file.c_str(), openFlags | O_CLOEXEC, 0600);
    // open() may land on the closed target itself; it must then lose close-on-exec like dup2.
    const bool redirected = replacement == target_ ? ::fcntl(target_, F_SETFD, 0) == 0
                                                   : ::dup2(replacement, target_) == target_;
    if (replacement < 0 || !redirected) ADD_FAILURE() << "could not redirect " << target_;
    if (replacement >= 0 && replacement != target_) ::close(replacement);
  }
  RedirectedDescriptor(const RedirectedDescriptor&) = delete;
  RedirectedDescriptor& operator=(const RedirectedDescriptor&) = delete;
  ~RedirectedDescriptor() {
    if (saved_ < 0) {
      ::close(target_);
      return;
    }
    ::dup2(saved_, target_);
    ::close(saved_);
  }

 private:
  int target_;
  int saved_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Exit status and stream contents for a table of small scripts.

struct ScriptCase {
  std::string name;
  std::string script;
  OutputMode standardOutputMode;
  OutputMode standardErrorMode;
  int expectedStatus;
  std::string expectedStandardOutput;
  std::string expectedStandardError;
};

void PrintTo(const ScriptCase& scriptCase, std::ostream* out) { *out << scriptCase.name; }

std::string repeated(char byte, std::size_t count) { return std::string(count, byte); }

// 40 rounds of odd-sized chunks, alternating streams, so pipe buffers fill on both sides.
const char* const kInterleavedScript =
    "i=0; while [ $i -lt 40 ]; do "
    "head -c 100003 /dev/zero | tr '\\000' o; "
    "head -c 77777 /dev/zero | tr '\\000' e >&2; "
    "i=$((i+1)); done";

std::vector<ScriptCase> scriptCases() {
  using enum OutputMode;
  return {
      {"SuccessWithNoOutput", "true", Capture, Capture, 0, "", ""},
      {"ExitCodeOne", "exit 1", Capture, Capture, 1, "", ""},
      {"ExitCodeFortyTwo", "exit 42", Capture, Capture, 42, "", ""},
      {"ExitCodeTwoHundredFiftyFive", "exit 255", Capture, Capture, 255, "", ""},
      {"KilledBySigkill", "kill -KILL $$", Capture, Capture, 9, "", ""},
      {"KilledBySigterm", "kill -TERM $$", Capture, Capture, 15, "", ""},
      {"OutputBeforeSignalIsKept", "printf partial; kill -KILL $$", Capture, Capture, 9, "partial",
       ""},
      {"StandardOutputOnly", "printf 'hello\\n'", Capture, Capture, 0, "hello\n", ""},
      {"StandardErrorOnly", "printf 'oops\\n' >&2; exit 3", Capture, Capture, 3, "", "oops\n"},
      {"BothStreamsKeptApart", "printf out1; printf err1 >&2; printf out2; printf err2 >&2",
       Capture, Capture, 0, "out1out2", "err1err2"},
      {"BinaryBytesIncludingNul", "printf 'a\\000b\\377\\n'; printf '\\000\\001' >&2", Capture,
       Capture, 0, std::string("a\0b\xff\n", 5), std::string("\0\x01", 2)},
      {"StandardOutputClosedEarly", "exec >&-; printf after-close >&2", Capture, Capture, 0, "",
       "after-close"},
      {"LargeStandardErrorThenLargeStandardOutput",
       "head -c 1048576 /dev/zero | tr '\\000' e >&2; head -c 1048576 /dev/zero | tr '\\000' o",
       Capture, Capture, 0, repeated('o', kMebibyte), repeated('e', kMebibyte)},
      {"InterleavedMultiMebibyteWrites", kInterleavedScript, Capture, Capture, 0,
       repeated('o', 40 * 100003), repeated('e', 40 * 77777)},
      {"DiscardedStandardErrorIsDrainedAndDropped", "head -c 4194304 /dev/zero >&2; printf done",
       Capture, Discard, 0, "done", ""},
      {"DiscardedStandardOutputIsDrainedAndDropped", "head -c 4194304 /dev/zero; printf done >&2",
       Discard, Capture, 0, "", "done"},
      {"BothDiscardedKeepsOnlyStatus", kInterleavedScript, Discard, Discard, 0, "", ""},
  };
}

class ScriptOutcomeTest : public testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptOutcomeTest, ReportsStatusAndStreams) {
  const ScriptCase& scriptCase = GetParam();
  const ProcessOutcome outcome = outcomeOf(runProcess(
      shellSpec(scriptCase.script, scriptCase.standardOutputMode, scriptCase.standardErrorMode)));
  EXPECT_EQ(outcome.status, scriptCase.expectedStatus);
  expectSameBytes(outcome.standardOutput, scriptCase.expectedStandardOutput, "standard output");
  expectSameBytes(outcome.standardError, scriptCase.expectedStandardError, "standard error");
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptOutcomeTest, testing::ValuesIn(scriptCases()), CaseName{});

TEST(SubprocessOutputTest, EveryByteValueSurvivesLargeBinaryOutput) {
  ScratchDirectory scratch;
  std::string allBytes;
  for (int round = 0; round < 4096; ++round) {
    for (int value = 0; value < 256; ++value) allBytes.push_back(static_cast<char>(value));
  }
  const std::filesystem::path file = scratch.writeFile("bytes", allBytes, 0644);

  SpawnSpec request = shellSpec("cat \"$1\"; cat \"$1\" >&2");
  request.arguments.insert(request.arguments.end(), {"sh", file.string()});
  const ProcessOutcome outcome = outcomeOf(runProcess(request));
  EXPECT_EQ(outcome.status, 0);
  expectSameBytes(outcome.standardOutput, allBytes, "standard output");
  expectSameBytes(outcome.standardError, allBytes, "standard error");
}

// Several MiB, not a whole number of them, each byte depending on where it stands: pieces joined
// in the wrong order, lost or doubled at a boundary would show.
TEST(SubprocessOutputTest, OutputOfManyMebibytesArrivesInOrder) {
  ScratchDirectory scratch;
  std::string pattern(3 * kMebibyte + kMebibyte / 2 + 7, '\0');
  for (std::size_t index = 0; index < pattern.size(); ++index) {
    pattern[index] = static_cast<char>((index * 7 + index / 251) % 256);
  }
  const std::filesystem::path file = scratch.writeFile("pattern", pattern, 0644);

  SpawnSpec request = shellSpec("cat \"$1\"; cat \"$1\" >&2; cat \"$1\"");
  request.arguments.insert(request.arguments.end(), {"sh", file.string()});
  const ProcessOutcome outcome = outcomeOf(runProcess(request));
  EXPECT_EQ(outcome.status, 0);
  expectSameBytes(outcome.standardOutput, pattern + pattern, "standard output");
  expectSameBytes(outcome.standardError, pattern, "standard error");
}

// A background grandchild that keeps the pipe open holds the call until it closes it.
TEST(SubprocessOutputTest, WaitsForGrandchildHoldingStandardOutput) {
  const ProcessOutcome outcome =
      outcomeOf(runProcess(shellSpec("(sleep 0.3; printf late) & printf early")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput, "earlylate");
}

// ---------------------------------------------------------------------------------------------
// Inherited standard descriptors and working directory.

struct InheritCase {
  std::string name;
  int redirectedDescriptor;
  std::string script;
  OutputMode standardOutputMode;
  OutputMode standardErrorMode;
  std::string expectedInFile;
};

void PrintTo(const InheritCase& inheritCase, std::ostream* out) { *out << inheritCase.name; }

class InheritedOutputTest : public testing::TestWithParam<InheritCase> {};

TEST_P(InheritedOutputTest, ChildWritesToTheDaemonsDescriptor) {
  const InheritCase& inheritCase = GetParam();
  ScratchDirectory scratch;
  const std::filesystem::path file = scratch.path() / "inherited";
  ProcessOutcome outcome;
  {
    RedirectedDescriptor redirect(inheritCase.redirectedDescriptor, file,
                                  O_WRONLY | O_CREAT | O_TRUNC);
    outcome = outcomeOf(runProcess(shellSpec(inheritCase.script, inheritCase.standardOutputMode,
                                             inheritCase.standardErrorMode)));
  }
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(readWholeFile(file), inheritCase.expectedInFile);
  EXPECT_EQ(outcome.standardOutput,
            inheritCase.standardOutputMode == OutputMode::Capture ? "to-stdout" : "");
  EXPECT_EQ(outcome.standardError,
            inheritCase.standardErrorMode == OutputMode::Capture ? "to-stderr" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, InheritedOutputTest,
    testing::Values(InheritCase{"StandardOutput", STDOUT_FILENO,
                                "printf to-stdout; printf to-stderr >&2", OutputMode::Inherit,
                                OutputMode::Capture, "to-stdout"},
                    InheritCase{"StandardError", STDERR_FILENO,
                                "printf to-stdout; printf to-stderr >&2", OutputMode::Capture,
                                OutputMode::Inherit, "to-stderr"}),
    CaseName{});

TEST(SubprocessInheritTest, StandardInputIsInherited) {
  ScratchDirectory scratch;
  const std::filesystem::path input = scratch.writeFile("input", "from the daemon's stdin", 0644);
  ProcessOutcome outcome;
  {
    RedirectedDescriptor redirect(STDIN_FILENO, input, O_RDONLY);
    outcome = outcomeOf(runProcess(shellSpec("cat")));
  }
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput, "from the daemon's stdin");
}

TEST(SubprocessInheritTest, WorkingDirectoryIsInherited) {
  const ProcessOutcome outcome = outcomeOf(runProcess(shellSpec("pwd -P")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput,
            std::filesystem::canonical(std::filesystem::current_path()).string() + "\n");
}

// ---------------------------------------------------------------------------------------------
// Exactly the given argv and environment.

TEST(SubprocessArgumentsTest, ArgvZeroIsThePathAndNothingIsAdded) {
  const ProcessOutcome outcome = outcomeOf(runProcess(
      SpawnSpec{"/bin/cat", {"/proc/self/cmdline"}, {}, OutputMode::Capture, OutputMode::Capture}));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput, std::string("/bin/cat\0/proc/self/cmdline\0", 28));
}

TEST(SubprocessArgumentsTest, ArgumentsArriveVerbatimWithoutShellInterpretation) {
  SpawnSpec request = shellSpec("printf '[%s]' \"$@\"");
  request.arguments.insert(request.arguments.end(),
                           {"placeholder-for-$0", "", "two words", "*", "$HOME", "a\nb", "'\""});
  const ProcessOutcome outcome = outcomeOf(runProcess(request));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput, "[][two words][*][$HOME][a\nb]['\"]");
}

class SubprocessEnvironmentTest : public testing::TestWithParam<std::vector<std::string>> {
 protected:
  // Set in the parent to prove the child's environment is not the daemon's.
  void SetUp() override { ::setenv("QUILLMERE_PARENT_ONLY", "leaked", 1); }
  void TearDown() override { ::unsetenv("QUILLMERE_PARENT_ONLY"); }
};

TEST_P(SubprocessEnvironmentTest, ChildSeesExactlyTheGivenEnvironment) {
  const std::vector<std::string>& environment = GetParam();
  const ProcessOutcome outcome = outcomeOf(runProcess(
      SpawnSpec{"/usr/bin/env", {}, environment, OutputMode::Capture, OutputMode::Capture}));
  std::string expected;
  for (const std::string& entry : environment) expected += entry + "\n";
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput, expected);
}

INSTANTIATE_TEST_SUITE_P(Environments, SubprocessEnvironmentTest,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"ONLY=one"},
                                         std::vector<std::string>{"B=second", "A=first",
                                                                  "EMPTY=", "SPACED=two words",
                                                                  "EQUALS=a=b"}));

// ---------------------------------------------------------------------------------------------
// Failures are values, and leave nothing open or unreaped behind.

struct FailureCase {
  std::string name;
  std::string path;  // "{scratch}" is replaced by the fixture's directory
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  int expectedErrorNumber;
};

void PrintTo(const FailureCase& failureCase, std::ostream* out) { *out << failureCase.name; }

class SpawnFailureTest : public testing::TestWithParam<FailureCase> {
 protected:
  void SetUp() override {
    scratch_.writeFile("not-executable", "#!/bin/sh\nexit 0\n", 0644);
    scratch_.writeFile("missing-interpreter", "#!/nonexistent/interpreter\n", 0755);
  }

  std::string resolve(std::string path) const {
    const std::string placeholder = "{scratch}";
    if (const auto at = path.find(placeholder); at != std::string::npos) {
      path.replace(at, placeholder.size(), scratch_.path().string());
    }
    return path;
  }

  ScratchDirectory scratch_;
};

TEST_P(SpawnFailureTest, ReturnsErrnoAndItsTextAndLeaksNothing) {
  const FailureCase& failureCase = GetParam();
  const std::size_t descriptorsBefore = countOpenDescriptors();
  for (const OutputMode mode : {OutputMode::Inherit, OutputMode::Capture, OutputMode::Discard}) {
    SCOPED_TRACE(static_cast<int>(mode));
    const auto result = runProcess(SpawnSpec{resolve(failureCase.path), failureCase.arguments,
                                             failureCase.environment, mode, mode});
    ASSERT_FALSE(result) << "the child was started";
    EXPECT_EQ(result.error().number, failureCase.expectedErrorNumber);
    EXPECT_EQ(errorText(result.error().number),
              std::generic_category().message(failureCase.expectedErrorNumber));
    EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
    EXPECT_TRUE(hasNoChildren());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SpawnFailureTest,
    testing::Values(
        FailureCase{"MissingExecutable", "/nonexistent-quillmere-dir/program", {}, {}, ENOENT},
        FailureCase{"MissingScriptInterpreter", "{scratch}/missing-interpreter", {}, {}, ENOENT},
        FailureCase{"FileWithoutExecutePermission", "{scratch}/not-executable", {}, {}, EACCES},
        FailureCase{"Directory", "{scratch}", {}, {}, EACCES},
        // Would be found if PATH were searched.
        FailureCase{"BareNameIsNeverSearched", "true", {}, {kChildSearchPath}, EINVAL},
        FailureCase{"EmptyPath", "", {}, {}, EINVAL},
        FailureCase{"NulInsidePath", std::string("/bin/true\0x", 11), {}, {}, EINVAL},
        FailureCase{"NulInsideArgument", "/bin/true", {std::string("a\0b", 3)}, {}, EINVAL},
        FailureCase{"NulInsideEnvironment", "/bin/true", {}, {std::string("A=\0b", 4)}, EINVAL}),
    CaseName{});

TEST(SubprocessCleanupTest, SuccessLeavesNoDescriptorsAndNoChildren) {
  const std::size_t descriptorsBefore = countOpenDescriptors();
  const ProcessOutcome outcome = outcomeOf(runProcess(
      shellSpec("printf out; printf err >&2; exit 7", OutputMode::Capture, OutputMode::Discard)));
  EXPECT_EQ(outcome.status, 7);
  EXPECT_EQ(countOpenDescriptors(), descriptorsBefore);
  EXPECT_TRUE(hasNoChildren());
}

// Captures far more output than a limit on address space lets this process hold, then ends: 0
// when that failed with ENOMEM as a value and the child was reaped.
[[noreturn]] void captureUnderMemoryLimit() {
  long pages = 0;
  std::ifstream{"/proc/self/statm"} >> pages;
  const auto bytes = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit limit{bytes + 256 * kMebibyte, bytes + 256 * kMebibyte};
  if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  const auto outcome = runProcess(SpawnSpec{
      "/usr/bin/head", {"-c", "2G", "/dev/zero"}, {}, OutputMode::Capture, OutputMode::Discard});
  const bool failedWithValue = !outcome && outcome.error().number == ENOMEM;
  std::_Exit(failedWithValue && hasNoChildren() ? 0 : 1);
}

// Output past the memory the process may have: a failure with ENOMEM as a value, nothing thrown,
// and the child still reaped.
TEST(SubprocessCleanupTest, OutputPastTheMemoryLimitFailsWithAValueAndReapsTheChild) {
  if (testing_support::builtWithSanitizer) {
    GTEST_SKIP() << "a sanitizer's shadow memory needs the address space this limit takes away";
  }
  EXPECT_EXIT(captureUnderMemoryLimit(), testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------
// Nothing of the daemon reaches the child: no descriptors, no signal dispositions or mask.

SpawnSpec listChildDescriptors() {
  return SpawnSpec{
      "/bin/ls", {"-1", "/proc/self/fd"}, {}, OutputMode::Capture, OutputMode::Capture};
}

std::set<int> descriptorsListedByChild(const std::string& listing) {
  std::set<int> descriptors;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) descriptors.insert(std::stoi(line));
  return descriptors;
}

// The child may hold the three standard descriptors plus the one `ls` lists with.
void expectOnlyStandardDescriptors(const ProcessOutcome& outcome) {
  EXPECT_EQ(outcome.status, 0) << outcome.standardError;
  for (const int descriptor : descriptorsListedByChild(outcome.standardOutput)) {
    EXPECT_LE(descriptor, 3) << "descriptor " << descriptor << " leaked into the child";
  }
}

class LeakedDescriptorTest : public testing::Test {
 protected:
  // Descriptors without close-on-exec, placed high so they cannot be mistaken for the listing's.
  void SetUp() override {
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(file, 0);
    fileDescriptor_ = ::fcntl(file, F_DUPFD, 50);
    ::close(file);
    int socketPair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, socketPair), 0);
    socketDescriptor_ = ::fcntl(socketPair[0], F_DUPFD, 200);
    ::close(socketPair[0]);
    ::close(socketPair[1]);
    ASSERT_GE(fileDescriptor_, 50);
    ASSERT_GE(socketDescriptor_, 200);
  }
  void TearDown() override {
    if (fileDescriptor_ >= 0) ::close(fileDescriptor_);
    if (socketDescriptor_ >= 0) ::close(socketDescriptor_);
  }

  int fileDescriptor_ = -1;
  int socketDescriptor_ = -1;
};

TEST_F(LeakedDescriptorTest, ChildHoldsOnlyStandardDescriptors) {
  for (const OutputMode mode : {OutputMode::Inherit, OutputMode::Capture}) {
    SpawnSpec request = listChildDescriptors();
    request.standardError = mode;
    SCOPED_TRACE(static_cast<int>(mode));
    expectOnlyStandardDescriptors(outcomeOf(runProcess(request)));
  }
}

class ParentSignalStateTest : public testing::Test {
 protected:
  void SetUp() override {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &savedSigpipe_), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &savedMask_), 0);
  }
  void TearDown() override {
    ::pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    ::sigaction(SIGPIPE, &savedSigpipe_, nullptr);
  }

  struct sigaction savedSigpipe_ {};
  sigset_t savedMask_{};
};

TEST_F(ParentSignalStateTest, ChildDiesOfSigpipeIgnoredByTheParent) {
  const ProcessOutcome outcome = outcomeOf(runProcess(shellSpec("kill -PIPE $$; exit 0")));
  EXPECT_EQ(outcome.status, SIGPIPE);
}

TEST_F(ParentSignalStateTest, ChildStartsWithNoSignalIgnoredOrBlocked) {
  const ProcessOutcome outcome =
      outcomeOf(runProcess(SpawnSpec{"/bin/grep",
                                     {"-E", "^Sig(Blk|Ign):", "/proc/self/status"},
                                     {},
                                     OutputMode::Capture,
                                     OutputMode::Capture}));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.standardOutput, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

// ---------------------------------------------------------------------------------------------
// Several callers at once, each with its own child, pipes and status.

TEST(SubprocessConcurrencyTest, ConcurrentCallersEachGetTheirOwnResult) {
  constexpr int kThreads = 8;
  constexpr int kRunsPerThread = 4;
  const auto outputSize = [](int thread) {
    return 100000 + static_cast<std::size_t>(thread) * 7919;
  };
  const auto letter = [](int thread) { return static_cast<char>('a' + thread); };
  const auto exitCode = [](int thread, int run) { return 10 + thread * kRunsPerThread + run; };

  std::vector<std::vector<Result<ProcessOutcome>>> results(kThreads);
  std::vector<std::vector<Result<ProcessOutcome>>> listings(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
      threads.emplace_back([&, thread] {
        for (int run = 0; run < kRunsPerThread; ++run) {
          SpawnSpec request = shellSpec(
              "head -c \"$1\" /dev/zero | tr '\\000' \"$2\"; printf %s \"$2\" >&2; exit \"$3\"");
          request.arguments.insert(
              request.arguments.end(),
              {"sh", std::to_string(outputSize(thread)), std::string(1, letter(thread)),
               std::to_string(exitCode(thread, run))});
          results[static_cast<std::size_t>(thread)].push_back(runProcess(request));
          // Other threads' pipes are open right now; none may show up here.
          listings[static_cast<std::size_t>(thread)].push_back(runProcess(listChildDescriptors()));
        }
      });
    }
  }

  for (int thread = 0; thread < kThreads; ++thread) {
    const auto& threadResults = results[static_cast<std::size_t>(thread)];
    ASSERT_EQ(threadResults.size(), static_cast<std::size_t>(kRunsPerThread));
    for (int run = 0; run < kRunsPerThread; ++run) {
      SCOPED_TRACE("thread " + std::to_string(thread) + " run " + std::to_string(run));
      const ProcessOutcome outcome = outcomeOf(threadResults[static_cast<std::size_t>(run)]);
      EXPECT_EQ(outcome.status, exitCode(thread, run));
      expectSameBytes(outcome.standardOutput, std::string(outputSize(thread), letter(thread)),
                      "standard output");
      EXPECT_EQ(outcome.standardError, std::string(1, letter(thread)));
      expectOnlyStandardDescriptors(
          outcomeOf(listings[static_cast<std::size_t>(thread)][static_cast<std::size_t>(run)]));
    }
  }
  EXPECT_TRUE(hasNoChildren());
}

// ---------------------------------------------------------------------------------------------
// environmentWithPath

// Sets or removes a variable, and puts back whatever was there before.
class ScopedVariable {
 public:
  ScopedVariable(std::string name, const std::optional<std::string>& value)
      : name_(std::move(name)) {
    if (const char* previous = ::getenv(name_.c_str())) previous_ = previous;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() {
    if (previous_) {
      ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

struct PathCase {
  std::string name;
  std::optional<std::string> pathBefore;  // nullopt: no PATH at all
  std::string newPath;
};

void PrintTo(const PathCase& pathCase, std::ostream* out) { *out << pathCase.name; }

class EnvironmentWithPathTest : public testing::TestWithParam<PathCase> {
 protected:
  EnvironmentWithPathTest()
      : path_("PATH", GetParam().pathBefore),
        // Names that merely start with PATH must pass untouched.
        lookalikePrefix_("PATHEXT", ".keep"),
        lookalikeUnderscore_("PATH_EXTRA", "keep"),
        lookalikeSuffix_("MYPATH", "/keep/me") {}

  ScopedVariable path_;
  ScopedVariable lookalikePrefix_;
  ScopedVariable lookalikeUnderscore_;
  ScopedVariable lookalikeSuffix_;
};

TEST_P(EnvironmentWithPathTest, SetsPathAndKeepsEverythingElseInOrder) {
  const PathCase& pathCase = GetParam();
  const std::vector<std::string> before = currentEnvironment();
  const std::vector<std::string> result = environmentWithPath(pathCase.newPath);
  const std::string expectedPathEntry = "PATH=" + pathCase.newPath;

  std::vector<std::string> expected;
  for (const std::string& entry : before) {
    expected.push_back(entry.starts_with("PATH=") ? expectedPathEntry : entry);
  }
  if (!pathCase.pathBefore) expected.push_back(expectedPathEntry);
  EXPECT_EQ(result, expected);
  EXPECT_EQ(std::count(result.begin(), result.end(), expectedPathEntry), 1);
  for (const char* lookalike : {"PATHEXT=.keep", "PATH_EXTRA=keep", "MYPATH=/keep/me"}) {
    EXPECT_EQ(std::count(result.begin(), result.end(), lookalike), 1) << lookalike;
  }
  EXPECT_EQ(currentEnvironment(), before) << "the process environment must not change";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EnvironmentWithPathTest,
    testing::Values(PathCase{"ReplacesExisting", "/usr/bin:/bin", "/opt/quillmere/bin"},
                    PathCase{"AddsWhenAbsent", std::nullopt, "/opt/quillmere/bin"},
                    PathCase{"ReplacesEmptyPath", "", "/bin"},
                    PathCase{"AcceptsEmptyValue", "/usr/bin", ""},
                    PathCase{"KeepsValueWhole", "/usr/bin", "/odd=dir:/with space::/bin"}),
    CaseName{});

// clearenv() leaves environ null; every entry is put back afterwards.
class ClearedEnvironmentTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = currentEnvironment();
    ASSERT_EQ(::clearenv(), 0);
  }
  void TearDown() override {
    for (const std::string& entry : saved_) {
      const auto equals = entry.find('=');
      if (equals == std::string::npos) continue;
      ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }

  std::vector<std::string> saved_;
};

TEST_F(ClearedEnvironmentTest, EmptyEnvironmentGetsOnlyPath) {
  EXPECT_EQ(environmentWithPath("/bin"), std::vector<std::string>{"PATH=/bin"});
}

TEST(EnvironmentWithPathEndToEndTest, ChildFindsProgramsThroughTheGivenPath) {
  ScopedVariable path("PATH", "/nonexistent-quillmere-dir");
  const ProcessOutcome outcome =
      outcomeOf(runProcess(SpawnSpec{kShell,
                                     {"-c", "printf %s \"$PATH\"; tr a b <<EOF\naaa\nEOF"},
                                     environmentWithPath("/quillmere-test/bin:/usr/bin:/bin"),
                                     OutputMode::Capture,
                                     OutputMode::Capture}));
  EXPECT_EQ(outcome.status, 0) << outcome.standardError;
  EXPECT_EQ(outcome.standardOutput, "/quillmere-test/bin:/usr/bin:/binbbb\n");
}

}  // namespace
}  // namespace quillmere::platform
