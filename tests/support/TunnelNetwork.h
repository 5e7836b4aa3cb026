#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Processes.h"
#include "tests/support/SandboxedHelper.h"

namespace quillmere::testing_support {

// Two test hosts of our own for a real WireGuard tunnel: network namespaces joined by a veth
// pair (10.231.0.1 and .2), and a wireguard-go peer (10.232.0.2 inside the tunnel) running in
// the second one in a PID namespace of its own. The helper's side goes in the first.
class TunnelNetwork {
 public:
  static constexpr const char* configPath = "/run/tunnel/wg0.conf";

  // Why a tunnel cannot be made here, or nothing when it can.
  static std::optional<std::string> unavailableReason();

  TunnelNetwork();
  ~TunnelNetwork();
  TunnelNetwork(const TunnelNetwork&) = delete;
  TunnelNetwork& operator=(const TunnelNetwork&) = delete;

  // Empty when everything came up, else what failed.
  const std::string& failure() const { return failure_; }

  const std::string& helperNamespace() const { return helperNamespace_; }
  // Shell lines that write the helper's wg0 configuration at `configPath` inside a sandbox.
  std::vector<std::string> helperConfigSetup() const;

 private:
  std::string helperNamespace_;
  std::string peerNamespace_;
  std::string helperPrivateKey_;
  std::string peerPublicKey_;
  std::optional<SandboxedHelper> peer_;
  std::string failure_;
};

// Runs a command on the host with its output captured; `input` goes to its standard input.
platform::ProcessOutcome runOnHost(const std::vector<std::string>& command,
                                   const std::string& input = {});

}  // namespace quillmere::testing_support
