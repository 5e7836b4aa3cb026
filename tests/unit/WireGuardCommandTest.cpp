#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "helper/Helper.h"
#include "helper/WireGuardScripts.h"
#include "tests/support/CapturingLogger.h"
#include "tests/support/CaseName.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing_support::CapturingLogger;

constexpr std::string_view prefix = "Quillmere Helper: ";
const std::string brewHint =
    "[dependency-manager:checkWireGuard] WireGuard not found. Install via Terminal: brew install "
    "wireguard-tools wireguard-go";
const std::string noBrewHint =
    "[dependency-manager:checkWireGuard] WireGuard and Homebrew not found. Install Homebrew from "
    "https://brew.sh then run: brew install wireguard-tools wireguard-go";

// Runs no script: records what it was handed and replies for the runner.
class ScriptRecordingHelper : public Helper {
 public:
  using Helper::Helper;
  void executeShellScript(const std::string& script, const CommandReply& reply) override {
    scripts.push_back(script);
    reply(CommandResult{true, "ran", std::nullopt});
  }
  std::vector<std::string> scripts;
};

enum class Entry { File, NonExecutable, Directory, DanglingLink };

// A world of stand-in tools: `which` answers from files named answer-<tool> and records each
// lookup with the PATH it was given; the fixed wg-quick places live in the same directory.
class WireGuardCommandTest : public testing::Test {
 protected:
  WireGuardCommandTest() {
    char pattern[] = "/tmp/quillmere-wg-command-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    writeFile("which",
              "#!/bin/sh\nprintf '%s|%s\\n' \"$1\" \"$PATH\" >> '" + directory_ +
                  "/which-calls'\n"
                  "[ -f '" +
                  directory_ +
                  "/answer-'\"$1\" ] || exit 1\n"
                  "cat '" +
                  directory_ + "/answer-'\"$1\"\n",
              0755);
    writeFile("wg0.conf", "[Interface]\n", 0600);
    settings_.whichPath = directory_ + "/which";
    settings_.wireGuardSearchPaths.clear();
    for (int i = 1; i <= 5; ++i) {
      settings_.wireGuardSearchPaths.push_back(directory_ + "/fixed" + std::to_string(i));
    }
  }
  ~WireGuardCommandTest() override { fs::remove_all(directory_); }

  std::string writeFile(const std::string& name, const std::string& content, mode_t mode) {
    const std::string path = directory_ + "/" + name;
    std::ofstream{path} << content;
    ::chmod(path.c_str(), mode);
    return path;
  }
  // `which` finds the tool at `answer` (printed with a line feed, as which does).
  void whichAnswers(const std::string& tool, const std::string& answer) {
    writeFile("answer-" + tool, answer + "\n", 0644);
  }
  std::string fixedEntry(int number, Entry kind) {
    const std::string path = settings_.wireGuardSearchPaths[static_cast<std::size_t>(number - 1)];
    switch (kind) {
      case Entry::File:
        writeFile(fs::path{path}.filename(), "#!/bin/sh\n", 0755);
        break;
      case Entry::NonExecutable:
        writeFile(fs::path{path}.filename(), "", 0644);
        break;
      case Entry::Directory:
        fs::create_directory(path);
        break;
      case Entry::DanglingLink:
        fs::create_symlink(directory_ + "/nowhere", path);
        break;
    }
    return path;
  }
  std::vector<std::string> whichCalls() const {
    std::ifstream file{directory_ + "/which-calls"};
    std::vector<std::string> calls;
    for (std::string line; std::getline(file, line);) {
      EXPECT_TRUE(line.ends_with("|" + settings_.whichSearchPath)) << line;
      calls.push_back(line.substr(0, line.find('|')));
    }
    return calls;
  }

  struct Outcome {
    std::vector<CommandResult> replies;
    std::vector<std::string> scripts;
    std::vector<std::string> lines;  // after the first, without the prefix
  };
  Outcome request(const std::string& command, const std::string& configPath) {
    CapturingLogger logger;
    ScriptRecordingHelper helper{logger, settings_};
    Outcome outcome;
    helper.executeWireGuardCommand(command, configPath, [&](const CommandResult& result) {
      outcome.replies.push_back(result);
    });
    outcome.scripts = helper.scripts;
    const auto lines = logger.lines();
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ(lines.front(), std::string{prefix} + "Executing WireGuard command: " + command +
                                   " for config: " + configPath);
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
      EXPECT_TRUE(lines[i].starts_with(prefix)) << lines[i];
      outcome.lines.push_back(lines[i].substr(prefix.size()));
    }
    return outcome;
  }
  std::string config() const { return directory_ + "/wg0.conf"; }

  std::string directory_;
  HelperSettings settings_ = HelperSettings{};
};

TEST_F(WireGuardCommandTest, WhichFindsWgQuickAndTheFixedListIsNotConsulted) {
  const std::string found = writeFile("wg-quick-found", "", 0755);
  whichAnswers("wg-quick", found);
  whichAnswers("wireguard-go", writeFile("wireguard-go", "", 0755));
  fixedEntry(1, Entry::File);

  const Outcome outcome = request("up", config());
  EXPECT_EQ(outcome.lines, std::vector<std::string>{"Found WireGuard via 'which': " + found});
  EXPECT_EQ(outcome.scripts, std::vector<std::string>{wireGuardUpScript(found, config())});
  EXPECT_EQ(outcome.replies, (std::vector<CommandResult>{{true, "ran", std::nullopt}}))
      << "the runner's reply is the request's reply";
  EXPECT_EQ(whichCalls(), (std::vector<std::string>{"wg-quick", "wireguard-go"}));
}

struct FixedListCase {
  const char* name;
  std::vector<std::pair<int, Entry>> entries;
  int expected;  // the fixed entry that is used
};

class FixedListTest : public WireGuardCommandTest,
                      public testing::WithParamInterface<FixedListCase> {};

TEST_P(FixedListTest, TakesTheFirstExistingEntry) {
  for (const auto& [number, kind] : GetParam().entries) {
    fixedEntry(number, kind);
  }
  whichAnswers("wg-quick", directory_ + "/printed-but-missing");
  whichAnswers("wireguard-go", writeFile("wireguard-go", "", 0755));
  const std::string expected =
      settings_.wireGuardSearchPaths[static_cast<std::size_t>(GetParam().expected - 1)];

  const Outcome outcome = request("down", config());
  EXPECT_EQ(outcome.lines, std::vector<std::string>{"Found WireGuard at: " + expected});
  EXPECT_EQ(outcome.scripts, std::vector<std::string>{wireGuardDownScript(expected, config())});
}

INSTANTIATE_TEST_SUITE_P(
    Entries, FixedListTest,
    testing::Values(
        FixedListCase{"Second", {{2, Entry::File}, {3, Entry::File}}, 2},
        FixedListCase{"Last", {{5, Entry::File}}, 5},
        FixedListCase{"DirectoryAccepted", {{1, Entry::Directory}, {2, Entry::File}}, 1},
        FixedListCase{"NonExecutableAccepted", {{1, Entry::NonExecutable}, {2, Entry::File}}, 1},
        FixedListCase{"DanglingLinkSkipped", {{1, Entry::DanglingLink}, {4, Entry::File}}, 4}),
    testing_support::CaseName{});

TEST_F(WireGuardCommandTest, NotFoundAnywhereGivesTheHintForWhetherBrewExists) {
  std::string searched;
  for (const auto& path : settings_.wireGuardSearchPaths) {
    searched += (searched.empty() ? "" : ", ") + path;
  }
  for (const bool brew : {true, false}) {
    if (brew) {
      whichAnswers("brew", writeFile("brew", "", 0755));
    } else {
      fs::remove(directory_ + "/answer-brew");
    }
    fs::remove(directory_ + "/which-calls");
    const std::string& hint = brew ? brewHint : noBrewHint;
    const Outcome outcome = request("up", config());
    EXPECT_EQ(outcome.lines,
              (std::vector<std::string>{"WireGuard not found. Searched paths: " + searched, hint}));
    EXPECT_EQ(outcome.replies, (std::vector<CommandResult>{{false, std::nullopt, hint}}));
    EXPECT_TRUE(outcome.scripts.empty());
    EXPECT_EQ(whichCalls(), (std::vector<std::string>{"wg-quick", "brew"}));
  }
}

TEST_F(WireGuardCommandTest, MissingWireGuardGoWarnsAndStillRunsTheScript) {
  const std::string fixed = fixedEntry(3, Entry::File);
  const Outcome outcome = request("up", config());
  EXPECT_EQ(outcome.lines,
            (std::vector<std::string>{"Found WireGuard at: " + fixed,
                                      "Warning - wireguard-go not found, may cause connection "
                                      "issues"}));
  EXPECT_EQ(outcome.scripts.size(), 1u);
  EXPECT_EQ(outcome.replies.size(), 1u);
}

TEST_F(WireGuardCommandTest, AWhichThatCannotStartIsLoggedAndTheFixedListUsed) {
  settings_.whichPath = directory_ + "/no-such-which";
  const std::string fixed = fixedEntry(1, Entry::File);
  const Outcome outcome = request("up", config());
  EXPECT_EQ(outcome.lines,
            (std::vector<std::string>{
                "'which' command failed: No such file or directory", "Found WireGuard at: " + fixed,
                "'which' command failed: No such file or directory",
                "Warning - wireguard-go not found, may cause connection issues"}));
  EXPECT_EQ(outcome.scripts.size(), 1u);
}

struct RefusalCase {
  const char* name;
  std::string command;
  bool configExists;
  std::string error;  // "" stands for the not-found text
};

class RefusalTest : public WireGuardCommandTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RefusesBeforeAnyLookup) {
  const std::string path = GetParam().configExists ? config() : directory_ + "/missing.conf";
  const Outcome outcome = request(GetParam().command, path);
  const std::string error =
      GetParam().error.empty() ? "Configuration file not found: " + path : GetParam().error;
  EXPECT_EQ(outcome.replies, (std::vector<CommandResult>{{false, std::nullopt, error}}));
  EXPECT_TRUE(outcome.lines.empty());
  EXPECT_TRUE(outcome.scripts.empty());
  EXPECT_TRUE(whichCalls().empty());
}

const std::string invalidCommand = "Invalid command. Must be 'up' or 'down'";

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusalTest,
    testing::Values(RefusalCase{"Capitals", "UP", true, invalidCommand},
                    RefusalCase{"CapitalFirst", "Up", true, invalidCommand},
                    RefusalCase{"LeadingBlank", " up", true, invalidCommand},
                    RefusalCase{"TrailingLineFeed", "down\n", true, invalidCommand},
                    RefusalCase{"Empty", "", true, invalidCommand},
                    RefusalCase{"InvalidBeforeMissingFile", "restart", false, invalidCommand},
                    RefusalCase{"MissingFile", "up", false, ""},
                    RefusalCase{"MissingFileDown", "down", false, ""}),
    testing_support::CaseName{});

TEST_F(WireGuardCommandTest, ADirectoryPassesTheExistenceTestAndANulNeverDoes) {
  fixedEntry(1, Entry::File);
  EXPECT_EQ(request("up", directory_).scripts.size(), 1u);
  const std::string truncating = config() + std::string(1, '\0') + "ignored";
  EXPECT_EQ(request("up", truncating).replies,
            (std::vector<CommandResult>{
                {false, std::nullopt, "Configuration file not found: " + truncating}}));
}

// Holds the turn on a thread of its own, as another connection's request would, until dropped.
class TurnHolder {
 public:
  explicit TurnHolder(WireGuardTurns& turns) {
    std::promise<void> taken;
    holder_ = std::thread{[&turns, &taken, released = released_.get_future()] {
      const auto turn = turns.await({});
      taken.set_value();
      released.wait();
    }};
    taken.get_future().wait();
  }
  ~TurnHolder() { release(); }
  TurnHolder(const TurnHolder&) = delete;
  TurnHolder& operator=(const TurnHolder&) = delete;

  void release() {
    if (!holder_.joinable()) return;
    released_.set_value();
    holder_.join();
  }

 private:
  std::promise<void> released_;
  std::thread holder_;
};

// WireGuard requests of different connections take turns; script requests do not wait for them.
TEST_F(WireGuardCommandTest, WireGuardRequestsRunOneAtATime) {
  fixedEntry(1, Entry::File);
  WireGuardTurns turns;
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};

  class SlowHelper : public Helper {
   public:
    SlowHelper(platform::Logger& logger, HelperSettings settings, WireGuardTurns* turns,
               std::atomic<int>& running, std::atomic<int>& mostAtOnce)
        : Helper(logger, std::move(settings), turns), running_(running), mostAtOnce_(mostAtOnce) {}
    void executeShellScript(const std::string&, const CommandReply& reply) override {
      const int now = ++running_;
      for (int seen = mostAtOnce_; now > seen && !mostAtOnce_.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      --running_;
      reply(CommandResult{true, "", std::nullopt});
    }

   private:
    std::atomic<int>& running_;
    std::atomic<int>& mostAtOnce_;
  };

  CapturingLogger logger;
  std::vector<std::thread> connections;
  for (int connection = 0; connection < 4; ++connection) {
    connections.emplace_back([&] {
      SlowHelper helper{logger, settings_, &turns, running, mostAtOnce};
      for (int request = 0; request < 3; ++request) {
        helper.executeWireGuardCommand("up", config(), [](const CommandResult&) {});
      }
    });
  }
  for (auto& connection : connections) {
    connection.join();
  }
  EXPECT_EQ(mostAtOnce, 1);

  // A script request goes ahead while a WireGuard request holds the turn.
  const TurnHolder held{turns};
  Helper helper{logger, settings_, &turns};
  std::vector<CommandResult> replies;
  helper.executeShellScript("exit 0",
                            [&](const CommandResult& result) { replies.push_back(result); });
  EXPECT_EQ(replies, (std::vector<CommandResult>{{true, "", std::nullopt}}));
}

// While another request holds the turn: a request whose command or path is wrong is answered at
// once, and one whose caller hangs up while it waits never runs.
TEST_F(WireGuardCommandTest, ChecksComeBeforeTheWaitAndAnAbandonedRequestNeverRuns) {
  fixedEntry(1, Entry::File);
  WireGuardTurns turns;
  const TurnHolder held{turns};
  const std::string missing = directory_ + "/missing.conf";
  const struct {
    std::string command;
    std::string path;
    CommandResult reply;
    std::vector<std::string> lines;  // after the first
  } cases[] = {
      {"sideways", config(), {false, std::nullopt, invalidCommand}, {}},
      {"down", missing, {false, std::nullopt, "Configuration file not found: " + missing}, {}},
      {"down",
       config(),
       {false, std::nullopt, "The caller hung up before the command's turn"},
       {"Dropped WireGuard command: down for config: " + config() +
        ": the caller hung up while it waited for its turn"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " " + c.path);
    CapturingLogger logger;
    // A caller that is gone: any request that waited would be dropped, not answered as above.
    ScriptRecordingHelper helper{logger, settings_, &turns, [] { return true; }};
    std::vector<CommandResult> replies;
    helper.executeWireGuardCommand(c.command, c.path,
                                   [&](const CommandResult& result) { replies.push_back(result); });
    EXPECT_EQ(replies, std::vector<CommandResult>{c.reply});
    auto lines = logger.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), std::string{prefix} + "Executing WireGuard command: " + c.command +
                                 " for config: " + c.path);
    lines.erase(lines.begin());
    for (std::string& line : lines) line.erase(0, prefix.size());
    EXPECT_EQ(lines, c.lines);
    EXPECT_TRUE(helper.scripts.empty());
  }
  EXPECT_TRUE(whichCalls().empty()) << "nothing is looked up before the turn";
}

// A waiting request whose caller stays gets its turn as soon as the holder lets go.
TEST_F(WireGuardCommandTest, AWaitingRequestRunsOnceTheTurnIsFree) {
  fixedEntry(1, Entry::File);
  WireGuardTurns turns;
  TurnHolder held{turns};
  int checks = 0;
  CapturingLogger logger;
  ScriptRecordingHelper helper{logger, settings_, &turns, [&] {
                                 // Let go after the waiting request has looked twice.
                                 if (++checks == 2) held.release();
                                 return false;
                               }};
  std::vector<CommandResult> replies;
  helper.executeWireGuardCommand("up", config(),
                                 [&](const CommandResult& result) { replies.push_back(result); });
  EXPECT_GE(checks, 2);
  EXPECT_EQ(replies, (std::vector<CommandResult>{{true, "ran", std::nullopt}}));
  EXPECT_EQ(helper.scripts.size(), 1u);
}

}  // namespace
}  // namespace quillmere
