// Script runner costs, measured on the real daemon in its sandbox:
//  - an empty script through the daemon (call sent to reply received) against spawning
//    /bin/bash on a script file directly in this process, as a ratio of medians;
//  - `quillmere-cli exec true` as a whole process against `/bin/bash -c true`;
//  - a script writing 256 MiB to standard output (`cat` of a file on tmpfs, a producer faster
//    than any capture): the daemon's peak resident memory against the output's size, the call's
//    throughput into a client's hands against the same script captured directly, the producer
//    alone, the same bytes moved over a socket pair once captured (the most any reply sent after
//    the script can do), and `quillmere-cli exec` of it: its time and its peak resident memory;
//  - the reply carrying 64 MiB of output written out in pieces, on one line against the same
//    size in lines, in this process: a long run with nothing to escape is written in one pass.

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <string>
#include <thread>
#include <utility>

#include "bench/Measurement.h"
#include "bench/SandboxLauncher.h"
#include "bench/Sections.h"
#include "client/HelperClient.h"
#include "platform/Processes.h"
#include "platform/Sockets.h"
#include "protocol/MessageChannel.h"
#include "protocol/MessageCodec.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::bench {
namespace {

using testing_support::helperCall;
using testing_support::SandboxedHelper;

constexpr std::size_t kMebibyte = 1024 * 1024;
constexpr std::size_t kLargeOutputMebibytes = 256;
constexpr int processRounds = 60;
constexpr int largeOutputRounds = 3;
constexpr double emptyScriptTarget = 1.3;       // ratio to bash directly
constexpr double peakMemoryTarget = 1.3;        // daemon, ratio to the output
constexpr double clientPeakMemoryTarget = 2.5;  // quillmere-cli, ratio to the output
constexpr double throughputTarget = 0.8;        // ratio to the same script captured directly
constexpr double oneLineTarget = 1.0;           // ratio to the same size in lines
constexpr std::size_t kEncodedMebibytes = 64;
constexpr std::string_view kScriptPath =
    "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// One connection whose replies may be as large as the script output.
class BenchClient {
 public:
  explicit BenchClient(const std::string& socketPath) {
    auto connected = platform::connectUnixSocket(socketPath);
    if (connected) socket_ = std::move(connected).value();
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
    if (!platform::runProcess(bashRun)) {
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

// A file of text lines on tmpfs, which the host and the sandbox both see, so that the script's
// producer (`cat`) costs far less than any capture of its output. Removed when it goes.
class LargeOutputFile {
 public:
  LargeOutputFile() {
    char pattern[] = "/dev/shm/quillmere-bench-output-XXXXXX";
    const platform::UniqueFd fd{::mkstemp(pattern)};
    if (!fd.valid()) return;
    path_ = pattern;
    // Lines of 63 characters: an output that needs escaping (line breaks) as real output does.
    std::string block;
    for (std::size_t line = 0; line < kMebibyte / kLineBytes; ++line) {
      block.append(kLineBytes - 1, 'x').push_back('\n');
    }
    for (std::size_t written = 0; written < kLargeOutputMebibytes; ++written) {
      if (::write(fd.get(), block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        path_.clear();
        return;
      }
    }
  }
  ~LargeOutputFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  LargeOutputFile(const LargeOutputFile&) = delete;
  LargeOutputFile& operator=(const LargeOutputFile&) = delete;

  bool made() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // The output text once its last line break is trimmed.
  static constexpr std::size_t textBytes = kLargeOutputMebibytes * kMebibyte - 1;

 private:
  static constexpr std::size_t kLineBytes = 64;
  std::string path_;
};

// A message of the output's size moved over a socket pair from one thread to another, framed as
// replies are and read into fresh memory as the client reads them: what any reply sent once the
// output is whole costs on top of capturing it. False when it did not arrive whole.
bool moveOverSocketPair(const std::string& message) {
  std::array<int, 2> ends{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) return false;
  const platform::UniqueFd sending{ends[0]};
  const platform::UniqueFd receiving{ends[1]};
  std::thread sender{[&] { varlink::MessageChannel{sending.get()}.write(message); }};
  const auto received =
      varlink::MessageChannel{receiving.get(), std::numeric_limits<std::size_t>::max()}.read();
  sender.join();
  return received.status == varlink::MessageChannel::ReadStatus::Message &&
         received.message.size() == message.size();
}

class IgnoredLines final : public client::LineSink {
 public:
  void writeLine(std::string_view) override {}
};

// `quillmere-cli exec SCRIPT` inside the sandbox, its output to /dev/null: seconds and peak
// resident KiB as GNU time reports them.
std::optional<std::pair<double, long>> timedCliExec(const SandboxedHelper& sandbox,
                                                    const std::string& script) {
  const std::string command = "/usr/bin/time -f '%e %M' " +
                              SandboxedHelper::insideBinary("quillmere-cli") + " exec '" + script +
                              "' >/dev/null";
  const auto outcome = sandbox.runInside({"/bin/sh", "-c", command});
  double seconds = 0;
  long kibibytes = 0;
  if (outcome.status != 0 ||
      std::sscanf(outcome.standardError.c_str(), "%lf %ld", &seconds, &kibibytes) != 2) {
    return std::nullopt;
  }
  return std::pair{seconds, kibibytes};
}

void addLargeOutputRows(ResultTable& table) {
  const std::string figure = "256 MiB output";
  const LargeOutputFile file;
  if (!file.made()) {
    table.addFailure(figure, "cannot write the output file on /dev/shm");
    return;
  }
  const std::string script = "cat " + file.path();
  auto sandbox = startSandboxedDaemon();  // a fresh daemon, so its peak is these calls'
  if (!sandbox) {
    table.addFailure(figure, "the daemon did not start");
    return;
  }
  IgnoredLines ignored;
  client::HelperClient client{ignored,
                              client::HelperClientSettings{.socketPath = sandbox->socketPath()}};
  const auto spawn = [](const std::string& command, platform::OutputMode mode) {
    return platform::SpawnSpec{
        "/bin/bash", {"-c", command}, platform::environmentWithPath(kScriptPath), mode, mode};
  };
  const platform::SpawnSpec directRun = spawn(script, platform::OutputMode::Capture);
  const platform::SpawnSpec producerAlone =
      spawn(script + " >/dev/null", platform::OutputMode::Inherit);
  const std::string message(kLargeOutputMebibytes * kMebibyte, 'x');
  std::vector<double> throughDaemon, direct, producer, socketAlone;
  for (int round = 0; round < largeOutputRounds; ++round) {
    // The client has the text in hand: the reply decoded to its output.
    const auto daemonTime = millisecondsOf([&] {
      const CommandResult result = client.executeShellScript(script);
      return result.success && result.output && result.output->size() == file.textBytes;
    });
    const auto directTime = millisecondsOf([&] {
      const auto outcome = platform::runProcess(directRun);
      return outcome && outcome->standardOutput.size() == kLargeOutputMebibytes * kMebibyte;
    });
    const auto producerTime = millisecondsOf([&] {
      const auto outcome = platform::runProcess(producerAlone);
      return outcome && outcome->status == 0;
    });
    const auto socketTime = millisecondsOf([&] { return moveOverSocketPair(message); });
    if (!daemonTime || !directTime || !producerTime || !socketTime) {
      table.addFailure(figure, "a reply or a direct run came short");
      return;
    }
    throughDaemon.push_back(*daemonTime);
    direct.push_back(*directTime);
    producer.push_back(*producerTime);
    socketAlone.push_back(*socketTime);
  }
  const auto peak = daemonPeakKibibytes(*sandbox);
  if (!peak) {
    table.addFailure("256 MiB output: daemon peak RSS", "cannot read the daemon's status");
  } else {
    const double peakMebibytes = static_cast<double>(*peak) / 1024.0;
    const double ratio = peakMebibytes / kLargeOutputMebibytes;
    table.add({"256 MiB output: daemon peak RSS", withUnit(peakMebibytes, "MiB", 0),
               "the output: 256 MiB", ratioText(ratio), "<= 1.30x", ratio <= peakMemoryTarget});
  }
  const auto rate = [](const std::vector<double>& milliseconds) {
    return kLargeOutputMebibytes / (*median(milliseconds) / 1000);
  };
  const double daemonRate = rate(throughDaemon);
  const double directRate = rate(direct);
  table.add({"256 MiB output via the daemon, text in the client", withUnit(daemonRate, "MiB/s", 0),
             "same script, captured directly: " + withUnit(directRate, "MiB/s", 0),
             ratioText(daemonRate / directRate), ">= 0.80x",
             daemonRate / directRate >= throughputTarget});
  table.add({"256 MiB output: the producer alone", withUnit(rate(producer), "MiB/s", 0),
             "captured directly: " + withUnit(directRate, "MiB/s", 0),
             ratioText(rate(producer) / directRate), "-", std::nullopt});
  // No reply can leave before the output is whole and judged, so capturing it and then moving
  // it over a socket once is as fast as the daemon's path could ever be.
  const double boundMilliseconds = *median(direct) + *median(socketAlone);
  const double boundRate = kLargeOutputMebibytes / (boundMilliseconds / 1000);
  table.add({"256 MiB output: captured, then moved over a socket pair",
             withUnit(boundRate, "MiB/s", 0),
             "captured directly: " + withUnit(directRate, "MiB/s", 0) +
                 "; the socket alone: " + withUnit(rate(socketAlone), "MiB/s", 0),
             ratioText(boundRate / directRate), "-", std::nullopt});

  const std::string cliFigure = "quillmere-cli exec of the 256 MiB script";
  if (const auto cli = timedCliExec(*sandbox, script)) {
    const double peakMebibytes = static_cast<double>(cli->second) / 1024.0;
    const double ratio = peakMebibytes / kLargeOutputMebibytes;
    table.add({cliFigure + ": client peak RSS", withUnit(peakMebibytes, "MiB", 0),
               "the output: 256 MiB", ratioText(ratio), "<= 2.50x",
               ratio <= clientPeakMemoryTarget});
    table.add({cliFigure + ": time", withUnit(cli->first * 1000, "ms", 0),
               "the call in process: " + withUnit(*median(throughDaemon), "ms", 0),
               differenceText(cli->first * 1000 - *median(throughDaemon), "ms"), "-",
               std::nullopt});
  } else {
    table.addFailure(cliFigure, "the command failed or GNU time is missing");
  }
}

// Writes a reply carrying `output` in the pieces the daemon sends, dropping them.
void EncodeLargeReply(benchmark::State& state, const std::string* output) {
  const varlink::Reply reply{
      std::nullopt, varlink::commandResultParameters(CommandResult{true, *output, std::nullopt}),
      false};
  const varlink::EncodedReply encoded = varlink::encodeReply(reply);
  std::size_t bytes = 0;
  for (auto _ : state) {
    encoded.write(
        [&bytes](std::string_view piece, bool) {
          bytes += piece.size();
          return true;
        },
        kMebibyte);
  }
  benchmark::DoNotOptimize(bytes);
}

void addEncodingRow(ResultTable& table) {
  const std::string oneLine(kEncodedMebibytes * kMebibyte, 'x');
  std::string lines = oneLine;
  for (std::size_t index = 63; index < lines.size(); index += 64) lines[index] = '\n';
  for (const auto& [name, output] :
       {std::pair{"EncodeOneLine", &oneLine}, {"EncodeLines", &lines}}) {
    benchmark::RegisterBenchmark(name, EncodeLargeReply, output)
        ->Repetitions(5)
        ->Iterations(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  }
  MedianReporter reporter;
  runRegisteredBenchmarks(reporter);
  const auto single = reporter.time("EncodeOneLine");
  const auto many = reporter.time("EncodeLines");
  const std::string figure = "reply of 64 MiB on one line, written in pieces";
  if (!single || !many) {
    table.addFailure(figure, "a run failed");
    return;
  }
  table.add({figure, withUnit(*single, "ms"), "64 MiB in lines of 63: " + withUnit(*many, "ms"),
             ratioText(*single / *many), "<= 1.00x", *single / *many <= oneLineTarget});
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
  addEncodingRow(table);
}

void measureLargeOutput(ResultTable& table) {
  addLargeOutputRows(table);
  addEncodingRow(table);
}

}  // namespace quillmere::bench
