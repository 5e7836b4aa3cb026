// A real WireGuard tunnel brought up and down through quillmere-cli and the real daemon.
//
// Two network namespaces joined by a veth pair. The daemon runs in one of them inside its
// sandbox (own mount namespace with tmpfs over /run, own PID namespace), so the scripts'
// `pkill -9 wireguard-go` and clean-up of /var/run/wireguard touch only the sandbox. The peer
// runs wireguard-go in the other namespace, in a PID namespace of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/SandboxedHelper.h"
#include "tests/support/TunnelNetwork.h"

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view configPath = TunnelNetwork::configPath;

class TunnelTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = TunnelNetwork::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
    network_.emplace();
    ASSERT_EQ(network_->failure(), "");
  }

  void TearDown() override {
    helper_.reset();
    network_.reset();
  }

  // The daemon's sandbox in the helper namespace, with stale WireGuard state left behind: a
  // name file for the interface, a stray socket and a leftover wireguard-go.
  void startHelper() {
    std::vector<std::string> setup = network_->helperConfigSetup();
    setup.insert(setup.end(), {
                                  "mkdir -p /run/wireguard",
                                  "printf wg-stale > /run/wireguard/wg0.name",
                                  ": > /run/wireguard/stray.sock",
                                  "wireguard-go wg-left 2>/dev/null",
                              });
    helper_.emplace(
        SandboxOptions{.networkNamespace = network_->helperNamespace(), .setup = setup});
    ASSERT_TRUE(helper_->started());
  }

  platform::ProcessOutcome cli(const std::string& command) {
    return helper_->runInside(
        {SandboxedHelper::insideBinary("quillmere-cli"), command, std::string{configPath}});
  }
  bool interfaceExists(const std::string& name) {
    return helper_->runInside({"/usr/bin/ip", "link", "show", name}).status == 0;
  }
  std::vector<std::string> wireGuardState() {
    std::vector<std::string> entries;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator{helper_->hostPath("/run/wireguard"), missing}) {
      entries.push_back(entry.path().filename());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }

  std::optional<TunnelNetwork> network_;
  std::optional<SandboxedHelper> helper_;
};

TEST_F(TunnelTest, UpCarriesTrafficAndDownRemovesTheTunnel) {
  startHelper();
  ASSERT_TRUE(interfaceExists("wg-left")) << "the leftover wireguard-go should be running";

  const auto up = cli("wg-up");
  EXPECT_EQ(up.status, 0) << up.standardOutput;
  EXPECT_TRUE(up.standardOutput.starts_with("SUCCESS: ")) << up.standardOutput;
  EXPECT_TRUE(up.standardError.empty()) << up.standardError;
  ASSERT_TRUE(interfaceExists("wg0"));

  const auto ping =
      helper_->runInside({"/usr/bin/ping", "-c", "3", "-i", "0.2", "-w", "10", "10.232.0.2"});
  EXPECT_EQ(ping.status, 0) << ping.standardOutput << ping.standardError;

  // "up" cleared the stale state: only the new tunnel's socket is left, the leftover is gone.
  EXPECT_EQ(wireGuardState(), std::vector<std::string>{"wg0.sock"});
  EXPECT_FALSE(interfaceExists("wg-left"));
  EXPECT_TRUE(helper_->waitForLogLine(
      "Quillmere Helper: Executing WireGuard command: up for config: /run/tunnel/wg0.conf"));
  EXPECT_TRUE(
      helper_->waitForLogLine("Quillmere Helper: Found WireGuard via 'which': /usr/bin/wg-quick"));
  EXPECT_TRUE(helper_->waitForLogLine("Quillmere Helper: Script executed successfully"));

  const auto down = cli("wg-down");
  EXPECT_EQ(down.status, 0) << down.standardOutput;
  EXPECT_FALSE(interfaceExists("wg0"));
  EXPECT_TRUE(wireGuardState().empty());

  // Down of a tunnel that is not up succeeds too.
  const auto again = cli("wg-down");
  EXPECT_EQ(again.status, 0) << again.standardOutput;
  EXPECT_TRUE(again.standardOutput.starts_with("SUCCESS: ")) << again.standardOutput;
}

}  // namespace
}  // namespace quillmere::testing_support
