// Script runner costs, measured on the real daemon in its sandbox:
//  - an empty script through the daemon (call sent to reply received) against spawning
//    /bin/bash on a script file directly in this process, as a ratio of medians;
//  - `quillmere-cli exec true` as a whole process against `/bin/bash -c true`;
//  - a script writing 256 MiB to standard output: the daemon's peak resident memory against the
//    output's size, and the call's throughput against the same script run directly.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <variant>

#include "bench/Measurement.h"
#include "bench/SandboxLauncher.h"
#include "bench/Sections.h"
#include "platform/Subprocess.h"
#include "platform/UnixSocket.h"
#include "protocol/MessageChannel.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::bench {
namespace {

using testing_support::helperCall;
using testing_support::SandboxedHelper;

constexpr std::size_t kMebibyte = 1024 * 1024;
constexpr std::size_t kLargeOutputMebibytes = 256;
constexpr int processRounds = 60;
constexpr int largeOutputRounds = 3;
constexpr double emptyScriptTarget = 1.3;  // ratio to bash directly
constexpr double peakMemoryTarget = 3;     // ratio to the output
constexpr std::string_view kScriptPath =
    "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// One connection whose replies may be as large as the script output.
class BenchClient {
 public:
  explicit BenchClient(const std::string& socketPath) {
    auto connected = platform::connectUnixSocket(socketPath);
    if (auto* fd = std::get_if<platform::UniqueFd>(&connected)) socket_ = std::move(*fd);
  }

  // The reply's size in bytes, or 0 when no reply came.
  std::size_t runScript(const std::string& script) {
    varlink::MessageChannel channel{socket_.get(), std::size_t{1} << 31};
    if (channel.write(helperCall("ExecuteShellScript", {{"script", script}})) != 0) return 0;
    const auto result = channel.read(std::nullopt);
    return result.status == varlink::MessageChannel::ReadStatus::Message ? result.message.size()
                                                                         : 0;
  }

 private:
  platform::UniqueFd socket_;
};

void EmptyScriptThroughDaemon(benchmark::State& state, const SandboxedHelper* helper) {
  BenchClient client{helper->socketPath()};
  for (auto _ : state) {
    if (client.runScript("") == 0) {
      state.SkipWithError("no reply");
      break;
    }
  }
}

void EmptyScriptSpawnedDirectly(benchmark::State& state) {
  char pattern[] = "/tmp/quillmere-bench-XXXXXX.sh";
  const int fd = ::mkstemps(pattern, 3);
  ::close(fd);
  const platform::SpawnSpec bashRun{"/bin/bash",
                                    {pattern},
                                    platform::environmentWithPath(kScriptPath),
                                    platform::OutputMode::Capture,
                                    platform::OutputMode::Capture};
  for (auto _ : state) {
    if (!std::holds_alternative<platform::ProcessOutcome>(platform::runProcess(bashRun))) {
      state.SkipWithError("spawn failed");
      break;
    }
  }
  ::unlink(pattern);
}

void addEmptyScriptRow(ResultTable& table, const SandboxedHelper& sandbox) {
  benchmark::RegisterBenchmark("EmptyScriptThroughDaemon", EmptyScriptThroughDaemon, &sandbox)
      ->Repetitions(10)
      ->Iterations(30)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("EmptyScriptSpawnedDirectly", EmptyScriptSpawnedDirectly)
      ->Repetitions(10)
      ->Iterations(30)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  MedianReporter reporter;
  runRegisteredBenchmarks(reporter);
  const auto daemon = reporter.time("EmptyScriptThroughDaemon");
  const auto direct = reporter.time("EmptyScriptSpawnedDirectly");
  if (!daemon || !direct) {
    table.addFailure("empty script via the daemon", "a run failed");
    return;
  }
  const double ratio = *daemon / *direct;
  table.add({"empty script via the daemon", withUnit(*daemon, "us", 0),
             "bash on a script file directly: " + withUnit(*direct, "us", 0), ratioText(ratio),
             "<= 1.30x", ratio <= emptyScriptTarget});
}

void addExecTrueRow(ResultTable& table, SandboxLauncher& launcher) {
  const std::string figure = "quillmere-cli exec true, whole process";
  const auto medians =
      medianMilliseconds(launcher,
                         {{SandboxedHelper::insideBinary("quillmere-cli"), "exec", "true"},
                          {"/bin/bash", "-c", "true"}},
                         processRounds);
  if (!medians) {
    table.addFailure(figure, "a run failed");
    return;
  }
  table.add({figure, withUnit((*medians)[0], "ms", 2),
             "/bin/bash -c true: " + withUnit((*medians)[1], "ms", 2),
             differenceText((*medians)[0] - (*medians)[1], "ms"), "-", std::nullopt});
}

std::optional<long> daemonPeakKibibytes(const SandboxedHelper& sandbox) {
  const auto outcome =
      sandbox.runInside({"/bin/sh", "-c", "grep '^VmHWM:' /proc/$(pidof quillmere-helper)/status"});
  long kibibytes = 0;
  if (std::sscanf(outcome.standardOutput.c_str(), "VmHWM: %ld", &kibibytes) != 1) {
    return std::nullopt;
  }
  return kibibytes;
}

void addLargeOutputRows(ResultTable& table) {
  const std::string script =
      "head -c " + std::to_string(kLargeOutputMebibytes * kMebibyte) + " /dev/zero | tr '\\0' x";
  auto sandbox = startSandboxedDaemon();  // a fresh daemon, so its peak is these calls'
  if (!sandbox) {
    table.addFailure("256 MiB output", "the daemon did not start");
    return;
  }
  BenchClient client{sandbox->socketPath()};
  const platform::SpawnSpec directRun{"/bin/bash",
                                      {"-c", script},
                                      platform::environmentWithPath(kScriptPath),
                                      platform::OutputMode::Capture,
                                      platform::OutputMode::Capture};
  std::vector<double> throughDaemon, direct;
  for (int round = 0; round < largeOutputRounds; ++round) {
    const auto daemonTime = millisecondsOf(
        [&] { return client.runScript(script) >= kLargeOutputMebibytes * kMebibyte; });
    const auto directTime = millisecondsOf([&] {
      const auto outcome = platform::runProcess(directRun);
      const auto* finished = std::get_if<platform::ProcessOutcome>(&outcome);
      return finished != nullptr &&
             finished->standardOutput.size() == kLargeOutputMebibytes * kMebibyte;
    });
    if (!daemonTime || !directTime) {
      table.addFailure("256 MiB output", "a reply or the direct run came short");
      return;
    }
    throughDaemon.push_back(*daemonTime);
    direct.push_back(*directTime);
  }
  const auto peak = daemonPeakKibibytes(*sandbox);
  if (!peak) {
    table.addFailure("256 MiB output: daemon peak RSS", "cannot read the daemon's status");
  } else {
    const double peakMebibytes = static_cast<double>(*peak) / 1024.0;
    const double ratio = peakMebibytes / kLargeOutputMebibytes;
    table.add({"256 MiB output: daemon peak RSS", withUnit(peakMebibytes, "MiB", 0),
               "the output: 256 MiB", ratioText(ratio), "<= 3.00x", ratio <= peakMemoryTarget});
  }
  const double daemonRate = kLargeOutputMebibytes / (*median(throughDaemon) / 1000);
  const double directRate = kLargeOutputMebibytes / (*median(direct) / 1000);
  table.add({"256 MiB output via the daemon", withUnit(daemonRate, "MiB/s", 0),
             "same script, captured directly: " + withUnit(directRate, "MiB/s", 0),
             ratioText(daemonRate / directRate), "-", std::nullopt});
}

}  // namespace

void measureScriptRunner(ResultTable& table) {
  {
    auto sandbox = startSandboxedDaemon();
    if (!sandbox) {
      table.addFailure("script runner", "the daemon did not start");
      return;
    }
    {
      SandboxLauncher launcher{*sandbox};
      addExecTrueRow(table, launcher);
    }
    addEmptyScriptRow(table, *sandbox);
  }
  addLargeOutputRows(table);
}

}  // namespace quillmere::bench
