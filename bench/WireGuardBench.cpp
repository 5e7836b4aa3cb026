// wg-up of a real tunnel through the daemon against the same `wg-quick up` run directly.
//
// All run in the daemon's sandbox on the test network. The direct runs are started with nsenter,
// whose own cost is measured with /bin/true and taken off. Two figures: the time the daemon
// adds to the same "up" script run directly with bash (discovery, the script file, the
// hand-over), and the time it adds to a bare `wg-quick up` (that plus the script's clean-up
// lines). Medians over repeated rounds; the tunnel is taken down (untimed) after each run.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "helper/WireGuardScripts.h"
#include "tests/support/SandboxedHelper.h"
#include "tests/support/TunnelNetwork.h"
#include "tests/support/VarlinkTestClient.h"

namespace {

using namespace quillmere::testing_support;

constexpr int rounds = 15;

double milliseconds(const std::function<bool()>& action, bool& ok) {
  const auto start = std::chrono::steady_clock::now();
  ok = action() && ok;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  if (const auto reason = TunnelNetwork::unavailableReason()) {
    std::printf("skipped: %s\n", reason->c_str());
    return 0;
  }
  TunnelNetwork network;
  if (!network.failure().empty()) {
    std::printf("no test network: %s\n", network.failure().c_str());
    return 1;
  }
  SandboxedHelper helper{SandboxOptions{.networkNamespace = network.helperNamespace(),
                                        .setup = network.helperConfigSetup()}};
  if (!helper.started()) {
    std::printf("the helper did not start\n");
    return 1;
  }
  VarlinkTestClient client{helper.socketPath()};
  const std::string config = TunnelNetwork::configPath;
  const auto wireGuard = [&](const char* command) {
    const auto reply = client.call(
        helperCall("ExecuteWireGuardCommand", {{"command", command}, {"configPath", config}}));
    return reply && (*reply)["parameters"].value("success", false);
  };
  const auto inside = [&](std::vector<std::string> command) {
    return helper.runInside(command).status == 0;
  };

  bool ok = true;
  const std::string upScript = quillmere::wireGuardUpScript("/usr/bin/wg-quick", config);
  std::vector<double> throughDaemon, scriptDirect, direct, nsenterOnly;
  for (int round = 0; round < rounds; ++round) {
    throughDaemon.push_back(milliseconds([&] { return wireGuard("up"); }, ok));
    ok = wireGuard("down") && ok;
    scriptDirect.push_back(milliseconds([&] { return inside({"/bin/bash", "-c", upScript}); }, ok));
    ok = wireGuard("down") && ok;
    direct.push_back(milliseconds([&] { return inside({"/usr/bin/wg-quick", "up", config}); }, ok));
    ok = inside({"/usr/bin/wg-quick", "down", config}) && ok;
    nsenterOnly.push_back(milliseconds([&] { return inside({"/bin/true"}); }, ok));
  }
  if (!ok) {
    std::printf("a tunnel operation failed\n");
    return 1;
  }
  const double daemon = median(throughDaemon);
  const double nsenter = median(nsenterOnly);
  const double script = median(scriptDirect) - nsenter;
  const double wgQuick = median(direct) - nsenter;
  std::printf(
      "wg-up through the daemon %.1f ms; the up script directly %.1f ms; wg-quick up "
      "directly %.1f ms\n",
      daemon, script, wgQuick);
  std::printf("median time added by the daemon to the same script: %.1f ms (target <= 15 ms)\n",
              daemon - script);
  std::printf("median time added to a bare wg-quick up (daemon plus clean-up lines): %.1f ms\n",
              daemon - wgQuick);
  return 0;
}
