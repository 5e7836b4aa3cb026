// A real WireGuard tunnel brought up and down through quillmere-cli and the real daemon.
//
// Two network namespaces joined by a veth pair. The daemon runs in one of them inside its
// sandbox (own mount namespace with tmpfs over /run, own PID namespace), so the scripts'
// `pkill -9 wireguard-go` and clean-up of /var/run/wireguard touch only the sandbox. The peer
// runs wireguard-go in the other namespace, in a PID namespace of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileStatus.h"
#include "platform/Subprocess.h"
#include "tests/support/SandboxedHelper.h"

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view configPath = "/run/tunnel/wg0.conf";

platform::ProcessOutcome runOnHost(const std::vector<std::string>& command,
                                   const std::string& input = {}) {
  std::vector<std::string> arguments{"-c",
                                     input.empty() ? "exec \"$@\"" : "printf '%s' \"$0\" | \"$@\""};
  arguments.insert(arguments.end(), input.empty() ? "sh" : input);
  arguments.insert(arguments.end(), command.begin(), command.end());
  auto outcome = platform::runProcess(
      platform::SpawnSpec{"/bin/sh", arguments, platform::currentEnvironment(),
                          platform::OutputMode::Capture, platform::OutputMode::Capture});
  if (auto* failure = std::get_if<platform::SpawnFailure>(&outcome)) {
    return platform::ProcessOutcome{127, {}, failure->description};
  }
  return std::get<platform::ProcessOutcome>(std::move(outcome));
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

struct KeyPair {
  std::string privateKey;
  std::string publicKey;
};

KeyPair makeKeys() {
  KeyPair keys{trimmed(runOnHost({"/usr/bin/wg", "genkey"}).standardOutput), {}};
  keys.publicKey = trimmed(runOnHost({"/usr/bin/wg", "pubkey"}, keys.privateKey).standardOutput);
  return keys;
}

class TunnelTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const auto reason = SandboxedHelper::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
    for (const char* tool : {"/usr/bin/wg", "/usr/bin/wg-quick", "/usr/bin/wireguard-go",
                             "/usr/bin/ping", "/usr/bin/ip"}) {
      if (!platform::pathExists(tool)) {
        GTEST_SKIP() << tool << " is missing: scripts/install-deps installs the WireGuard tools";
      }
    }
    const std::string suffix = std::to_string(::getpid());
    helperNamespace_ = "qm-helper-" + suffix;
    peerNamespace_ = "qm-peer-" + suffix;
    const std::vector<std::vector<std::string>> network{
        {"ip", "netns", "add", helperNamespace_},
        {"ip", "netns", "add", peerNamespace_},
        {"ip", "-n", helperNamespace_, "link", "add", "veth-h", "type", "veth", "peer", "name",
         "veth-p", "netns", peerNamespace_},
        {"ip", "-n", helperNamespace_, "addr", "add", "10.231.0.1/24", "dev", "veth-h"},
        {"ip", "-n", peerNamespace_, "addr", "add", "10.231.0.2/24", "dev", "veth-p"},
        {"ip", "-n", helperNamespace_, "link", "set", "veth-h", "up"},
        {"ip", "-n", peerNamespace_, "link", "set", "veth-p", "up"},
        {"ip", "-n", helperNamespace_, "link", "set", "lo", "up"},
        {"ip", "-n", peerNamespace_, "link", "set", "lo", "up"},
    };
    for (const auto& command : network) {
      std::vector<std::string> full{"/usr/bin/" + command.front()};
      full.insert(full.end(), command.begin() + 1, command.end());
      const auto outcome = runOnHost(full);
      ASSERT_EQ(outcome.status, 0) << outcome.standardError;
    }
    helperKeys_ = makeKeys();
    peerKeys_ = makeKeys();
    ASSERT_FALSE(helperKeys_.publicKey.empty());
    ASSERT_FALSE(peerKeys_.publicKey.empty());

    peer_.emplace(
        SandboxOptions{.startHelper = false,
                       .networkNamespace = peerNamespace_,
                       .setup = {
                           "printf '%s' '" + peerKeys_.privateKey + "' > /run/peer.key",
                           "wireguard-go wg-peer 2>/dev/null",
                           "wg set wg-peer private-key /run/peer.key listen-port 51820 peer " +
                               helperKeys_.publicKey + " allowed-ips 10.232.0.1/32",
                           "ip addr add 10.232.0.2/24 dev wg-peer",
                           "ip link set wg-peer up",
                       }});
    ASSERT_TRUE(peer_->started()) << "the peer did not come up";
  }

  void TearDown() override {
    helper_.reset();
    peer_.reset();
    for (const std::string& name : {helperNamespace_, peerNamespace_}) {
      if (!name.empty()) {
        runOnHost({"/usr/bin/ip", "netns", "del", name});
      }
    }
  }

  // The daemon's sandbox in the helper namespace, with stale WireGuard state left behind: a
  // name file for the interface, a stray socket and a leftover wireguard-go.
  void startHelper() {
    helper_.emplace(SandboxOptions{
        .networkNamespace = helperNamespace_,
        .setup = {
            "mkdir -p /run/tunnel /run/wireguard",
            "printf '[Interface]\\nPrivateKey = %s\\nAddress = 10.232.0.1/24\\n\\n[Peer]\\n"
            "PublicKey = %s\\nEndpoint = 10.231.0.2:51820\\nAllowedIPs = 10.232.0.2/32\\n' '" +
                helperKeys_.privateKey + "' '" + peerKeys_.publicKey + "' > " +
                std::string{configPath},
            "chmod 600 " + std::string{configPath},
            "printf wg-stale > /run/wireguard/wg0.name",
            ": > /run/wireguard/stray.sock",
            "wireguard-go wg-left 2>/dev/null",
        }});
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

  std::string helperNamespace_;
  std::string peerNamespace_;
  KeyPair helperKeys_;
  KeyPair peerKeys_;
  std::optional<SandboxedHelper> peer_;
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
