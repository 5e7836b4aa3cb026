// What hostile messages cost the real daemon in its sandbox, as daemon CPU (utime + stime from
// /proc) around the exchanges:
//  - a stranger's 16 MiB message (an array of empty objects), refused: against the same message
//    from a member, read and closed;
//  - a member's 16 MiB message of empty objects, closed with its reason: against a member's call
//    of the same size made of one text; and the daemon's peak RSS growth for the first such
//    message against that after several more.

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "bench/Measurement.h"
#include "bench/Sections.h"
#include "tests/support/HostilePeer.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::bench {
namespace {

using testing_support::arrayOfEmptyObjects;
using testing_support::PeerExchange;
using testing_support::PeerIdentity;
using testing_support::SandboxedHelper;

constexpr std::size_t kMessageBytes = std::size_t{16} * 1024 * 1024;
constexpr int refusalRounds = 20;
constexpr int memberRounds = 5;
constexpr double refusalTarget = 10;     // milliseconds of daemon CPU
constexpr double closingTarget = 200;    // milliseconds of daemon CPU
constexpr double peakGrowthTarget = 32;  // MiB
constexpr int helperGroupId = 4242;
const PeerIdentity stranger{65534};
const PeerIdentity member{65533, helperGroupId};

// The sandbox's own group file names the helper's group; the host's is left alone.
testing_support::SandboxOptions withHelperGroup() {
  return testing_support::SandboxOptions{
      .setup = {"cp /etc/group /tmp/group",
                "echo 'quillmere:x:" + std::to_string(helperGroupId) + ":' >>/tmp/group",
                "mount --bind /tmp/group /etc/group"}};
}

// A field of the daemon's /proc status or stat, read inside its sandbox.
std::optional<std::string> daemonProc(const SandboxedHelper& sandbox, const std::string& file) {
  const auto read =
      sandbox.runInside({"/bin/sh", "-c", "cat /proc/$(pidof quillmere-helper)/" + file});
  if (read.status != 0 || read.standardOutput.empty()) return std::nullopt;
  return read.standardOutput;
}

// utime + stime of the whole daemon, its ended threads included, in milliseconds.
std::optional<double> daemonCpuMilliseconds(const SandboxedHelper& sandbox) {
  const auto stat = daemonProc(sandbox, "stat");
  if (!stat) return std::nullopt;
  std::istringstream fields{stat->substr(stat->rfind(')') + 2)};
  std::vector<std::string> after(13);
  for (std::string& field : after) fields >> field;  // from the state, field 3, to stime, 15
  const double ticks = std::stod(after[11]) + std::stod(after[12]);
  return ticks * 1000 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<double> daemonPeakMebibytes(const SandboxedHelper& sandbox) {
  const auto status = daemonProc(sandbox, "status");
  if (!status) return std::nullopt;
  const std::size_t line = status->find("VmHWM:");
  if (line == std::string::npos) return std::nullopt;
  return std::stod(status->substr(line + 6)) / 1024;
}

// Daemon CPU per exchange of `bytes` by `peer`, each exchange checked by `answered`.
std::optional<double> cpuPerExchange(const SandboxedHelper& sandbox, const PeerIdentity& peer,
                                     const std::string& bytes, int rounds,
                                     bool (*answered)(const PeerExchange&)) {
  const auto before = daemonCpuMilliseconds(sandbox);
  for (int round = 0; round < rounds; ++round) {
    if (!answered(testing_support::exchangeAs(sandbox, peer, bytes))) return std::nullopt;
  }
  const auto after = daemonCpuMilliseconds(sandbox);
  if (!before || !after) return std::nullopt;
  return (*after - *before) / rounds;
}

bool refused(const PeerExchange& exchange) {
  return exchange.receiveError == 0 &&
         exchange.received ==
             R"({"error":"org.varlink.service.PermissionDenied","parameters":{}})" +
                 std::string(1, '\0');
}

bool closedWithoutReply(const PeerExchange& exchange) {
  return exchange.connected && exchange.received.empty();
}

bool answered(const PeerExchange& exchange) {
  return testing_support::splitMessages(exchange.received).size() == 1;
}

std::unique_ptr<SandboxedHelper> startWithOpenSocket() {
  auto sandbox = startSandboxedDaemon(withHelperGroup());
  if (sandbox && sandbox->runInside({"chmod", "0666", std::string{helperSocketPath}}).status != 0) {
    return nullptr;
  }
  return sandbox;
}

}  // namespace

void measureHostilePeers(ResultTable& table) {
  const std::string hostile = arrayOfEmptyObjects(kMessageBytes) + '\0';
  const std::string head = R"({"method":"com.quillmere.helper.GetVersion","parameters":{},"x":")";
  const std::string oneText =
      head + std::string(kMessageBytes - head.size() - 2, 'x') + "\"}" + '\0';

  {
    auto sandbox = startWithOpenSocket();
    if (!sandbox) {
      table.addFailure("stranger's 16 MiB message", "the daemon did not start");
      return;
    }
    const auto refusal = cpuPerExchange(*sandbox, stranger, hostile, refusalRounds, refused);
    const auto closing =
        cpuPerExchange(*sandbox, member, hostile, memberRounds, closedWithoutReply);
    if (!refusal || !closing) {
      table.addFailure("stranger's 16 MiB message", "an exchange did not end as it should");
    } else {
      table.add({"stranger's 16 MiB message refused: daemon CPU", withUnit(*refusal, "ms", 2),
                 "same message from a member, closed: " + withUnit(*closing, "ms", 1),
                 ratioText(*refusal / *closing), "<= 10 ms", *refusal <= refusalTarget});
    }
  }

  auto sandbox = startWithOpenSocket();  // a fresh daemon, so its peak is these calls'
  if (!sandbox) {
    table.addFailure("member's 16 MiB message of {}", "the daemon did not start");
    return;
  }
  const auto peakBefore = daemonPeakMebibytes(*sandbox);
  const bool first = closedWithoutReply(testing_support::exchangeAs(*sandbox, member, hostile));
  const auto peakAfterFirst = daemonPeakMebibytes(*sandbox);
  const auto closing = cpuPerExchange(*sandbox, member, hostile, memberRounds, closedWithoutReply);
  const auto peakAfterMore = daemonPeakMebibytes(*sandbox);
  const auto text = cpuPerExchange(*sandbox, member, oneText, memberRounds, answered);
  if (!first || !closing || !text || !peakBefore || !peakAfterFirst || !peakAfterMore) {
    table.addFailure("member's 16 MiB message of {}", "an exchange did not end as it should");
    return;
  }
  table.add({"member's 16 MiB message of {} closed: daemon CPU", withUnit(*closing, "ms", 1),
             "16 MiB call of one text: " + withUnit(*text, "ms", 1), ratioText(*closing / *text),
             "<= 200 ms", *closing <= closingTarget});
  // Later messages may find the allocator still holding an earlier one's buffer.
  const double growth = *peakAfterFirst - *peakBefore;
  table.add({"member's 16 MiB message of {}: daemon peak RSS growth", withUnit(growth, "MiB", 1),
             "after " + std::to_string(memberRounds) +
                 " more: " + withUnit(*peakAfterMore - *peakBefore, "MiB", 1),
             differenceText(*peakAfterMore - *peakAfterFirst, "MiB"), "<= 32 MiB",
             growth <= peakGrowthTarget});
}

}  // namespace quillmere::bench
