#include "tests/support/TunnelNetwork.h"

#include <unistd.h>

#include "platform/Files.h"

namespace quillmere::testing_support {
namespace {

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

platform::ProcessOutcome runOnHost(const std::vector<std::string>& command,
                                   const std::string& input) {
  // sh feeds `input` through a pipe so that keys never appear on a command line.
  std::vector<std::string> arguments{"-c", "printf '%s' \"$0\" | \"$@\"", input};
  arguments.insert(arguments.end(), command.begin(), command.end());
  auto outcome = platform::runProcess(
      platform::SpawnSpec{"/bin/sh", arguments, platform::currentEnvironment(),
                          platform::OutputMode::Capture, platform::OutputMode::Capture});
  if (!outcome) {
    return platform::ProcessOutcome{127, {}, platform::errorText(outcome.error().number)};
  }
  return std::move(outcome).value();
}

std::optional<std::string> TunnelNetwork::unavailableReason() {
  if (auto reason = SandboxedHelper::unavailableReason()) {
    return reason;
  }
  for (const char* tool : {"/usr/bin/wg", "/usr/bin/wg-quick", "/usr/bin/wireguard-go",
                           "/usr/bin/ping", "/usr/bin/ip"}) {
    if (!platform::pathExists(tool)) {
      return std::string{tool} + " is missing: scripts/install-deps installs the WireGuard tools";
    }
  }
  return std::nullopt;
}

TunnelNetwork::TunnelNetwork() {
  const std::string suffix = std::to_string(::getpid());
  helperNamespace_ = "qm-helper-" + suffix;
  peerNamespace_ = "qm-peer-" + suffix;
  const std::vector<std::vector<std::string>> network{
      {"netns", "add", helperNamespace_},
      {"netns", "add", peerNamespace_},
      {"-n", helperNamespace_, "link", "add", "veth-h", "type", "veth", "peer", "name", "veth-p",
       "netns", peerNamespace_},
      {"-n", helperNamespace_, "addr", "add", "10.231.0.1/24", "dev", "veth-h"},
      {"-n", peerNamespace_, "addr", "add", "10.231.0.2/24", "dev", "veth-p"},
      {"-n", helperNamespace_, "link", "set", "veth-h", "up"},
      {"-n", peerNamespace_, "link", "set", "veth-p", "up"},
      {"-n", helperNamespace_, "link", "set", "lo", "up"},
      {"-n", peerNamespace_, "link", "set", "lo", "up"},
  };
  for (const auto& arguments : network) {
    std::vector<std::string> command{"/usr/bin/ip"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    if (const auto outcome = runOnHost(command); outcome.status != 0) {
      failure_ = "ip failed: " + outcome.standardError;
      return;
    }
  }
  helperPrivateKey_ = trimmed(runOnHost({"/usr/bin/wg", "genkey"}).standardOutput);
  const std::string peerPrivateKey = trimmed(runOnHost({"/usr/bin/wg", "genkey"}).standardOutput);
  const std::string helperPublicKey =
      trimmed(runOnHost({"/usr/bin/wg", "pubkey"}, helperPrivateKey_).standardOutput);
  peerPublicKey_ = trimmed(runOnHost({"/usr/bin/wg", "pubkey"}, peerPrivateKey).standardOutput);
  if (helperPublicKey.empty() || peerPublicKey_.empty()) {
    failure_ = "wg could not make keys";
    return;
  }
  // Keys are base64 text, safe between single quotes.
  peer_.emplace(
      SandboxOptions{.startHelper = false,
                     .networkNamespace = peerNamespace_,
                     .setup = {
                         "printf '%s' '" + peerPrivateKey + "' > /run/peer.key",
                         "wireguard-go wg-peer 2>/dev/null",
                         "wg set wg-peer private-key /run/peer.key listen-port 51820 peer " +
                             helperPublicKey + " allowed-ips 10.232.0.1/32",
                         "ip addr add 10.232.0.2/24 dev wg-peer",
                         "ip link set wg-peer up",
                     }});
  if (!peer_->started()) {
    failure_ = "the peer did not come up";
  }
}

TunnelNetwork::~TunnelNetwork() {
  peer_.reset();
  for (const std::string& name : {helperNamespace_, peerNamespace_}) {
    runOnHost({"/usr/bin/ip", "netns", "del", name});
  }
}

std::vector<std::string> TunnelNetwork::helperConfigSetup() const {
  return {
      "mkdir -p /run/tunnel",
      "printf '[Interface]\\nPrivateKey = %s\\nAddress = 10.232.0.1/24\\n\\n[Peer]\\n"
      "PublicKey = %s\\nEndpoint = 10.231.0.2:51820\\nAllowedIPs = 10.232.0.2/32\\n' '" +
          helperPrivateKey_ + "' '" + peerPublicKey_ + "' > " + std::string{configPath},
      "chmod 600 " + std::string{configPath},
  };
}

}  // namespace quillmere::testing_support
