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
  // --only=large-output measures the large-output rows alone, for quick turns on that path.
  constexpr std::string_view onlyLargeOutput = "--only=large-output";
  const bool largeOutputOnly = argc > 1 && argv[1] == onlyLargeOutput;
  if (largeOutputOnly) {
    std::memmove(&argv[1], &argv[2], sizeof(char*) * static_cast<std::size_t>(argc - 1));
    --argc;
  }
  benchmark::Initialize(&argc, argv);
  ResultTable table;
  if (largeOutputOnly) {
    measureLargeOutput(table);
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
