// HelperClient against an in-process fake helper on a socket in a scratch directory: what each
// request returns and prints when the helper answers, fails, hangs up or stays silent.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "client/HelperClient.h"
#include "tests/support/CaseName.h"
#include "tests/support/FakeHelperServer.h"

namespace quillmere::client {
namespace {

using namespace std::chrono_literals;
using testing_support::FakeHelperServer;
using testing_support::FakeStep;
using Lines = std::vector<std::string>;

class RecordingSink final : public LineSink {
 public:
  void writeLine(std::string_view text) override { lines.emplace_back(text); }
  Lines lines;
};

FakeStep reply(std::string text, std::chrono::milliseconds delay = 0ms) {
  return FakeStep{FakeStep::Action::Reply, std::move(text), delay};
}

const CommandResult noReply{false, std::nullopt, "Failed to connect to helper"};
const std::string interruptedLine = "ERROR: Connection to helper interrupted";
const std::string invalidatedLine = "ERROR: Connection to helper invalidated";

class HelperClientTest : public testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(scratch_); }

  std::string path(const std::string& name) const { return scratch_ + "/" + name; }

  // A client of the socket in the scratch directory, with short deadlines.
  HelperClient& client() {
    if (!client_) {
      client_.emplace(sink_,
                      HelperClientSettings{path("helper.sock"), path("installed"), 200ms, 1s});
    }
    return *client_;
  }

  FakeHelperServer& serve(std::vector<FakeStep> steps) {
    server_.emplace(path("helper.sock"), std::move(steps));
    EXPECT_TRUE(server_->listening());
    server_->start();
    return *server_;
  }

  const Lines& lines() const { return sink_.lines; }

 private:
  std::string scratch_ = [] {
    char pattern[] = "/tmp/quillmere-client-test-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
  RecordingSink sink_;
  // Destroyed before the server, so that the server's connection ends first.
  std::optional<FakeHelperServer> server_;
  std::optional<HelperClient> client_;
};

TEST_F(HelperClientTest, InstallCheckLooksAtTheFileOnlyAndNeverConnects) {
  const auto& server = serve({reply(R"({"parameters":{"version":"1.0.0"}})")});
  EXPECT_FALSE(client().isHelperInstalled());
  std::ofstream{path("installed")} << "daemon";
  EXPECT_TRUE(client().isHelperInstalled());
  std::filesystem::remove(path("installed"));
  std::filesystem::create_symlink(path("missing"), path("installed"));
  EXPECT_FALSE(client().isHelperInstalled()) << "a dangling link is no installed daemon";

  EXPECT_EQ(server.connections(), 0u) << "neither construction nor the check connects";
  EXPECT_TRUE(lines().empty());
}

TEST_F(HelperClientTest, SendsArgumentsUnchangedAndReturnsTheRepliedValues) {
  const auto& server = serve({reply(R"({"parameters":{"success":true,"output":null,"error":""}})"),
                              reply(R"({"parameters":{"success":false,"output":"","error":null}})"),
                              reply(R"({"parameters":{"version":""}})")});
  EXPECT_EQ(client().executeWireGuardCommand("up", " ./rel path\n"),
            (CommandResult{true, std::nullopt, ""}));
  EXPECT_EQ(client().executeShellScript(""), (CommandResult{false, "", std::nullopt}));
  EXPECT_EQ(client().getVersion(), "");

  EXPECT_EQ(
      server.calls(),
      (Lines{
          R"({"method":"com.quillmere.helper.ExecuteWireGuardCommand","parameters":{"command":"up","configPath":" ./rel path\n"}})",
          R"({"method":"com.quillmere.helper.ExecuteShellScript","parameters":{"script":""}})",
          R"({"method":"com.quillmere.helper.GetVersion"})"}));
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_TRUE(lines().empty());
}

TEST_F(HelperClientTest, SilenceEndsAtTheDeadlineWithTheInitialValuesAndNoRetry) {
  const auto& server = serve({FakeStep{FakeStep::Action::Silent}});
  EXPECT_EQ(client().executeWireGuardCommand("down", "/etc/wg0.conf"), noReply);
  EXPECT_EQ(client().executeShellScript("true"), noReply);
  EXPECT_EQ(client().getVersion(), std::nullopt);
  EXPECT_EQ(server.calls().size(), 3u);
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_TRUE(lines().empty());
}

TEST_F(HelperClientTest, ALateReplyIsDroppedInsteadOfAnsweringTheNextCall) {
  const auto& server =
      serve({reply(R"({"parameters":{"success":true,"output":"late","error":null}})", 600ms),
             reply(R"({"parameters":{"version":"fresh"}})")});
  EXPECT_EQ(client().executeShellScript("sleep 1"), noReply);
  // Sent on the same connection while the late reply is still on its way.
  EXPECT_EQ(client().getVersion(), "fresh");
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_TRUE(lines().empty());
}

TEST_F(HelperClientTest, AHangUpInterruptsAndTheNextCallConnectsAgain) {
  const auto& server =
      serve({FakeStep{FakeStep::Action::HangUp}, reply(R"({"parameters":{"version":"1.0.0"}})")});
  EXPECT_EQ(client().getVersion(), std::nullopt);
  EXPECT_EQ(lines(), (Lines{interruptedLine,
                            "ERROR: Failed to connect to helper: the helper closed the connection "
                            "before replying"}));
  EXPECT_EQ(client().getVersion(), "1.0.0");
  EXPECT_EQ(server.connections(), 2u);
}

TEST_F(HelperClientTest, AnUnreachableHelperInvalidatesForGood) {
  const std::string failure = "Failed to connect to helper: cannot reach the helper at " +
                              path("helper.sock") + ": No such file or directory";
  EXPECT_EQ(client().executeShellScript("true"), (CommandResult{false, std::nullopt, failure}));
  EXPECT_EQ(lines(), (Lines{invalidatedLine}));

  // A helper that turns up later is not connected to; the same failure is reported again.
  const auto& server = serve({reply(R"({"parameters":{"version":"1.0.0"}})")});
  EXPECT_EQ(client().executeWireGuardCommand("up", "/etc/wg0.conf"),
            (CommandResult{false, std::nullopt, failure}));
  EXPECT_EQ(client().getVersion(), std::nullopt);
  EXPECT_EQ(lines(), (Lines{invalidatedLine, "ERROR: " + failure, "ERROR: " + failure}));
  EXPECT_EQ(server.connections(), 0u);
}

TEST_F(HelperClientTest, ARefusalInvalidatesAndNothingMoreIsSent) {
  const auto& server = serve({reply(R"({"error":"org.varlink.service.PermissionDenied"})")});
  const std::string failure = "Failed to connect to helper: the helper refused this user";
  EXPECT_EQ(client().getVersion(), std::nullopt);
  EXPECT_EQ(client().executeShellScript("id"), (CommandResult{false, std::nullopt, failure}));
  EXPECT_EQ(lines(), (Lines{invalidatedLine, "ERROR: " + failure}));
  EXPECT_EQ(server.calls().size(), 1u);
}

struct UnusableReplyCase {
  const char* name;
  std::string reply;
  Lines lines;  // printed by executeShellScript, which prints no failure of its own
  std::string error;
};

void PrintTo(const UnusableReplyCase& c, std::ostream* os) { *os << c.name; }

class UnusableReplyTest : public HelperClientTest,
                          public testing::WithParamInterface<UnusableReplyCase> {};

TEST_P(UnusableReplyTest, FailsWithADescription) {
  serve({reply(GetParam().reply)});
  EXPECT_EQ(
      client().executeShellScript("true"),
      (CommandResult{false, std::nullopt, "Failed to connect to helper: " + GetParam().error}));
  EXPECT_EQ(lines(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UnusableReplyTest,
    testing::Values(
        UnusableReplyCase{"NotJson",
                          "hello",
                          {invalidatedLine},
                          "the helper's reply cannot be read: not valid JSON"},
        UnusableReplyCase{"WrongType",
                          R"({"parameters":{"success":"yes","output":null,"error":null}})",
                          {},
                          "the helper's reply has an invalid member \"success\""},
        UnusableReplyCase{"OtherVarlinkError",
                          R"({"error":"org.varlink.service.MethodNotImplemented","parameters":{}})",
                          {},
                          "the helper answered org.varlink.service.MethodNotImplemented"}),
    testing_support::CaseName{});

TEST_F(HelperClientTest, TextThatIsNotUtf8IsRefusedWithoutSending) {
  const auto& server = serve({reply(R"({"parameters":{"success":true}})")});
  EXPECT_EQ(client().executeShellScript("echo \xff"),
            (CommandResult{false, std::nullopt,
                           "Cannot send the script to the helper: it is not valid UTF-8 text"}));
  EXPECT_EQ(client().executeWireGuardCommand("up", "/etc/\xc0\xafwg0.conf").error,
            "Cannot send the configuration path to the helper: it is not valid UTF-8 text");
  EXPECT_EQ(server.connections(), 0u);
  EXPECT_TRUE(lines().empty());
}

TEST_F(HelperClientTest, AHelperThatStopsReadingCannotHoldALargeRequest) {
  serve({FakeStep{FakeStep::Action::Stall}});
  EXPECT_EQ(client().executeShellScript(std::string(8 * 1024 * 1024, '#')), noReply);
  EXPECT_TRUE(lines().empty());
}

}  // namespace
}  // namespace quillmere::client
