// GetVersion, the cheapest call: its round trip from an in-process client over the real socket
// (against the same bytes echoed over a socket pair in this process), 64 connections calling it
// at once, and `quillmere-cli version` as a whole process against the standard IPC round trip
// from the command line: dbus-send calling GetId on a private dbus-daemon.

#include <sys/socket.h>

#include <array>
#include <thread>

#include "bench/Measurement.h"
#include "bench/SandboxLauncher.h"
#include "bench/Sections.h"
#include "client/HelperClient.h"
#include "platform/Files.h"
#include "protocol/MessageChannel.h"
#include "tests/support/VarlinkTestClient.h"

namespace quillmere::bench {
namespace {

using testing_support::SandboxedHelper;

constexpr const char* busAddress = "unix:path=/run/quillmere-bench-bus";
constexpr int processRounds = 150;
constexpr int parallelConnections = 64;
constexpr double roundTripTarget = 1.5;    // ratio to the echo floor
constexpr double parallelTarget = 20'000;  // replies per second

class IgnoredLines final : public client::LineSink {
 public:
  void writeLine(std::string_view) override {}
};

// Used alone, timing each call, and on many threads at once, each thread its own connection.
void GetVersionCalls(benchmark::State& state, const SandboxedHelper* sandbox, bool timeEachCall) {
  IgnoredLines ignored;
  client::HelperClient client{ignored,
                              client::HelperClientSettings{.socketPath = sandbox->socketPath()}};
  CallTimer timer{timeEachCall ? static_cast<std::size_t>(state.max_iterations) : 0};
  const auto call = [&client] { return client.getVersion().has_value(); };
  for (auto _ : state) {
    if (!(timeEachCall ? timer.time(call) : call())) {
      state.SkipWithError("no reply");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  if (timeEachCall) {
    timer.report(state);
  }
}

// The socket alone: the call's bytes sent to a thread that sends them back.
void SocketEchoRoundTrip(benchmark::State& state) {
  std::array<int, 2> ends{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
    state.SkipWithError("no socket pair");
    return;
  }
  const platform::UniqueFd mine{ends[0]};
  const platform::UniqueFd theirs{ends[1]};
  std::thread echo{[socket = theirs.get()] {
    varlink::MessageChannel channel{socket};
    for (auto read = channel.read(); read.status == varlink::MessageChannel::ReadStatus::Message;
         read = channel.read()) {
      channel.write(read.message);
    }
  }};
  varlink::MessageChannel channel{mine.get()};
  const std::string call = testing_support::helperCall("GetVersion", nlohmann::json::object());
  CallTimer timer{static_cast<std::size_t>(state.max_iterations)};
  for (auto _ : state) {
    timer.time([&] {
      channel.write(call);
      return channel.read().status == varlink::MessageChannel::ReadStatus::Message;
    });
  }
  timer.report(state);
  ::shutdown(mine.get(), SHUT_RDWR);
  echo.join();
}

void addInProcessRows(ResultTable& table, const SandboxedHelper& sandbox) {
  benchmark::RegisterBenchmark("GetVersionRoundTrip", GetVersionCalls, &sandbox, true)
      ->UseRealTime()
      ->Repetitions(10)
      ->Iterations(2000)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("SocketEchoRoundTrip", SocketEchoRoundTrip)
      ->UseRealTime()
      ->Repetitions(10)
      ->Iterations(2000)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("GetVersionOn64Connections", GetVersionCalls, &sandbox, false)
      ->Threads(parallelConnections)
      ->UseRealTime()
      ->Repetitions(5)
      ->Iterations(300)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMicrosecond);
  MedianReporter reporter;
  runRegisteredBenchmarks(reporter);

  const auto roundTrip = reporter.counter("GetVersionRoundTrip", callMedianCounter);
  const auto echo = reporter.counter("SocketEchoRoundTrip", callMedianCounter);
  if (roundTrip && echo) {
    table.add({"GetVersion round trip, in process", withUnit(*roundTrip, "us"),
               "same bytes echoed by a thread: " + withUnit(*echo, "us"),
               ratioText(*roundTrip / *echo), "<= 1.50x", *roundTrip / *echo <= roundTripTarget});
  } else {
    table.addFailure("GetVersion round trip, in process", "no reply");
  }
  const auto parallel = reporter.counter("GetVersionOn64Connections", "items_per_second");
  const auto single = reporter.counter("GetVersionRoundTrip", "items_per_second");
  if (parallel && single) {
    table.add({"64 connections calling GetVersion", withUnit(*parallel, "replies/s", 0),
               "one connection: " + withUnit(*single, "replies/s", 0),
               ratioText(*parallel / *single), ">= 20000 replies/s", *parallel >= parallelTarget});
  } else {
    table.addFailure("64 connections calling GetVersion", "no reply");
  }
}

constexpr const char* wholeProcessFigure = "quillmere-cli version, whole process";

void addWholeProcessRow(ResultTable& table, SandboxLauncher& launcher) {
  const auto medians = medianMilliseconds(
      launcher,
      {{SandboxedHelper::insideBinary("quillmere-cli"), "version"},
       {"/usr/bin/dbus-send", std::string{"--bus="} + busAddress, "--print-reply",
        "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.GetId"}},
      processRounds);
  if (!medians) {
    table.addFailure(wholeProcessFigure, "quillmere-cli or dbus-send failed");
    return;
  }
  const double cli = (*medians)[0];
  const double dbus = (*medians)[1];
  table.add({wholeProcessFigure, withUnit(cli, "ms", 2),
             "dbus-send GetId, private dbus-daemon: " + withUnit(dbus, "ms", 2),
             ratioText(cli / dbus), "<= 1.00x", cli <= dbus});
}

}  // namespace

void measureVersionCalls(ResultTable& table) {
  const bool busTools =
      platform::pathExists("/usr/bin/dbus-daemon") && platform::pathExists("/usr/bin/dbus-send");
  // The bus lives in the sandbox, on an address of its own, and ends with it.
  std::vector<std::string> setup;
  if (busTools) {
    setup.push_back(std::string{"dbus-daemon --session --fork --address="} + busAddress);
  }
  auto sandbox = startSandboxedDaemon(testing_support::SandboxOptions{.setup = setup});
  if (!sandbox) {
    table.addFailure("GetVersion calls", "the daemon or dbus-daemon did not start");
    return;
  }
  if (busTools) {
    SandboxLauncher launcher{*sandbox};
    addWholeProcessRow(table, launcher);
  } else {
    table.addFailure(wholeProcessFigure,
                     "dbus-daemon or dbus-send missing (scripts/bench installs them)");
  }
  addInProcessRows(table, *sandbox);
}

}  // namespace quillmere::bench
