// wg-up of a real tunnel through the daemon against the same "up" script run directly with bash
// (the daemon's own share: discovery, the script file, the hand-over) and against a bare
// `wg-quick up` (that plus the script's clean-up lines). All run in the daemon's sandbox on the
// test network; the direct runs are started from inside it, as the daemon starts its own.
// The three take turns in each round; what the daemon adds is the median of the rounds'
// differences, so that a slow spell of the shared machine falls on both sides of a pair. The
// tunnel is taken down (untimed) after each run.

#include <string>
#include <vector>

#include "bench/Measurement.h"
#include "bench/SandboxLauncher.h"
#include "bench/Sections.h"
#include "helper/WireGuardScripts.h"
#include "tests/support/TunnelNetwork.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::bench {
namespace {

using namespace testing_support;

constexpr int rounds = 31;
constexpr double addedTimeTarget = 15;  // milliseconds
constexpr const char* figure = "wg-up via the daemon";

}  // namespace

void measureWireGuard(ResultTable& table) {
  if (const auto reason = TunnelNetwork::unavailableReason()) {
    table.addFailure(figure, *reason);
    return;
  }
  TunnelNetwork network;
  if (!network.failure().empty()) {
    table.addFailure(figure, "no test network: " + network.failure());
    return;
  }
  auto sandbox = startSandboxedDaemon(SandboxOptions{.networkNamespace = network.helperNamespace(),
                                                     .setup = network.helperConfigSetup()});
  if (!sandbox) {
    table.addFailure(figure, "the daemon did not start");
    return;
  }
  SandboxLauncher launcher{*sandbox};
  VarlinkTestClient client{sandbox->socketPath()};
  const std::string config = TunnelNetwork::configPath;
  const auto wireGuard = [&](const char* command) {
    const auto reply = client.call(
        helperCall("ExecuteWireGuardCommand", {{"command", command}, {"configPath", config}}));
    return reply && (*reply)["parameters"].value("success", false);
  };
  const auto timedInside = [&](const std::vector<std::string>& command,
                               std::vector<double>& times) {
    const auto milliseconds = launcher.timedRun(command);
    times.push_back(milliseconds.value_or(0));
    return milliseconds.has_value();
  };

  bool ok = true;
  const std::string upScript = wireGuardUpScript("/usr/bin/wg-quick", config);
  std::vector<double> throughDaemon, scriptDirect, wgQuickDirect;
  // Every up is taken down the same way, so that each starts from the same state.
  for (int round = 0; ok && round < rounds; ++round) {
    const auto daemonTime = millisecondsOf([&] { return wireGuard("up"); });
    throughDaemon.push_back(daemonTime.value_or(0));
    ok = daemonTime && wireGuard("down");
    ok = ok && timedInside({"/bin/bash", "-c", upScript}, scriptDirect) && wireGuard("down");
    ok = ok && timedInside({"/usr/bin/wg-quick", "up", config}, wgQuickDirect) && wireGuard("down");
  }
  if (!ok) {
    table.addFailure(figure, "a tunnel operation failed");
    return;
  }
  const double daemon = *median(throughDaemon);
  const double script = *median(scriptDirect);
  const double wgQuick = *median(wgQuickDirect);
  const double addedToScript = *medianDifference(throughDaemon, scriptDirect);
  table.add({figure, withUnit(daemon, "ms"),
             "the same up script directly: " + withUnit(script, "ms"),
             differenceText(addedToScript, "ms") + " (paired)", "<= +15 ms",
             addedToScript <= addedTimeTarget});
  table.add({figure, withUnit(daemon, "ms"), "bare wg-quick up: " + withUnit(wgQuick, "ms"),
             differenceText(*medianDifference(throughDaemon, wgQuickDirect), "ms") + " (paired)",
             "-", std::nullopt});
}

}  // namespace quillmere::bench
