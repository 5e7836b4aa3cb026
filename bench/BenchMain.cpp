// The benchmark run: every figure against the real daemon in a sandbox, each next to its
// comparison measured in the same run, printed as one table at the end.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "bench/ResultTable.h"
#include "bench/Sections.h"
#include "tests/support/SandboxedHelper.h"

int main(int argc, char** argv) {
  using namespace quillmere::bench;
  if (const auto reason = quillmere::testing_support::SandboxedHelper::unavailableReason()) {
    std::printf("skipped: %s\n", reason->c_str());
    return 0;
  }
  // --only=large-output or --only=version measures those rows alone, for quick turns.
  const std::string_view only = argc > 1 && std::string_view{argv[1]}.starts_with("--only=")
                                    ? std::string_view{argv[1]}.substr(7)
                                    : std::string_view{};
  if (!only.empty()) {
    std::memmove(&argv[1], &argv[2], sizeof(char*) * static_cast<std::size_t>(argc - 1));
    --argc;
  }
  benchmark::Initialize(&argc, argv);
  ResultTable table;
  if (only == "large-output") {
    measureLargeOutput(table);
  } else if (only == "version") {
    measureVersionCalls(table);
  } else {
    measureVersionCalls(table);
    measureScriptRunner(table);
    measureWireGuard(table);
    measureHostilePeers(table);
  }
  benchmark::Shutdown();
  table.print();
  return table.allMeasured() ? 0 : 1;
}
