// Script runner costs, measured on the real daemon in its sandbox:
//  - an empty script through the daemon (call sent to reply received) against spawning
//    /bin/bash on a script file directly in this process, as a ratio of medians;
//  - a script writing 256 MiB to standard output: the daemon's peak resident memory and the
//    throughput of the whole call.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "platform/Subprocess.h"
#include "platform/UnixSocket.h"
#include "protocol/MessageChannel.h"
#include "tests/support/SandboxedHelper.h"
#include "tests/support/VarlinkTestClient.h"

namespace {

using quillmere::testing_support::helperCall;
using quillmere::testing_support::SandboxedHelper;
namespace platform = quillmere::platform;
namespace varlink = quillmere::varlink;

constexpr std::size_t kMebibyte = 1024 * 1024;
constexpr std::size_t kLargeOutput = 256 * kMebibyte;
constexpr std::string_view kScriptPath =
    "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// One connection whose replies may be as large as the script output.
class BenchClient {
 public:
  explicit BenchClient(const std::string& socketPath) {
    auto connected = platform::connectUnixSocket(socketPath);
    if (auto* fd = std::get_if<platform::UniqueFd>(&connected)) socket_ = std::move(*fd);
  }
  bool connected() const { return socket_.valid(); }

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
    if (client.runScript("") == 0) state.SkipWithError("no reply");
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
    }
  }
  ::unlink(pattern);
}

// Keeps the median of each repeated benchmark, by name.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median")
        medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

std::string daemonStatusField(const SandboxedHelper& helper, const std::string& field) {
  const auto outcome = helper.runInside(
      {"/bin/sh", "-c", "grep '^" + field + ":' /proc/$(pidof quillmere-helper)/status"});
  std::string text = outcome.standardOutput;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

int measureLargeOutput() {
  SandboxedHelper helper;  // a fresh daemon, so its peak is this call's
  if (!helper.started()) return 1;
  BenchClient client{helper.socketPath()};
  std::printf("daemon before: %s\n", daemonStatusField(helper, "VmHWM").c_str());
  const auto start = std::chrono::steady_clock::now();
  const std::size_t replySize =
      client.runScript("head -c " + std::to_string(kLargeOutput) + " /dev/zero | tr '\\0' x");
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const std::string peak = daemonStatusField(helper, "VmHWM");
  if (replySize < kLargeOutput) {
    std::printf("large output: reply of %zu bytes is short\n", replySize);
    return 1;
  }
  long peakKib = 0;
  std::sscanf(peak.c_str(), "VmHWM: %ld", &peakKib);
  const double peakMib = static_cast<double>(peakKib) / 1024.0;
  std::printf(
      "256 MiB to standard output: daemon peak RSS %.0f MiB = %.2f x output (target <= 3)\n",
      peakMib, peakMib / 256.0);
  std::printf("256 MiB to standard output: %.2f s call to reply, %.0f MiB/s\n", elapsed.count(),
              256.0 / elapsed.count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto reason = SandboxedHelper::unavailableReason()) {
    std::printf("skipped: %s\n", reason->c_str());
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  int status = 0;
  {
    SandboxedHelper helper;
    if (!helper.started()) return 1;
    benchmark::RegisterBenchmark("EmptyScriptThroughDaemon", EmptyScriptThroughDaemon, &helper)
        ->Repetitions(10)
        ->Iterations(30)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("EmptyScriptSpawnedDirectly", EmptyScriptSpawnedDirectly)
        ->Repetitions(10)
        ->Iterations(30)
        ->Unit(benchmark::kMicrosecond);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double daemon = reporter.medians["EmptyScriptThroughDaemon"];
    const double direct = reporter.medians["EmptyScriptSpawnedDirectly"];
    if (direct > 0) {
      std::printf(
          "empty script: daemon %.0f us, direct %.0f us, median ratio %.2f (target <= 1.3)\n",
          daemon, direct, daemon / direct);
    }
  }
  status = measureLargeOutput();
  benchmark::Shutdown();
  return status;
}
