// The benchmark run: every figure against the real daemon in a sandbox, each next to its
// comparison measured in the same run, printed as one table at the end.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/ResultTable.h"
#include "bench/Sections.h"
#include "tests/support/SandboxedHelper.h"

int main(int argc, char** argv) {
  using namespace quillmere::bench;
  if (const auto reason = quillmere::testing_support::SandboxedHelper::unavailableReason()) {
    std::printf("skipped: %s\n", reason->c_str());
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  ResultTable table;
  measureVersionCalls(table);
  measureScriptRunner(table);
  measureWireGuard(table);
  measureHostilePeers(table);
  benchmark::Shutdown();
  table.print();
  return table.allMeasured() ? 0 : 1;
}
