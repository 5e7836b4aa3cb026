// quillmere-fake-helper [--socket PATH] [--record FILE] STEP...: a misbehaving stand-in for the
// helper, for client tests. Listens on PATH (the helper's own socket unless given) and answers
// the n-th call with STEP n, the last step for every later call. A STEP is "reply:TEXT" (sends
// TEXT as the reply message), "silent", "hangup" or "stall". Each call read is appended to FILE
// as a line. Runs until killed; exit status 2 when it cannot start.

#include <cstdio>
#include <string>
#include <vector>

#include "protocol/HelperNames.h"
#include "tests/support/FakeHelperServer.h"

int main(int argc, char** argv) {
  using namespace quillmere;
  std::string socketPath{helperSocketPath};
  std::optional<std::string> recordPath;
  std::vector<testing_support::FakeStep> steps;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--socket" || args[i] == "--record") && i + 1 < args.size()) {
      (args[i] == "--socket" ? socketPath : recordPath.emplace()) = args[i + 1];
      ++i;
    } else if (auto step = testing_support::FakeStep::parse(args[i])) {
      steps.push_back(*step);
    } else {
      std::fprintf(stderr, "quillmere-fake-helper: unknown step: %s\n", args[i].c_str());
      return 2;
    }
  }
  testing_support::FakeHelperServer server{socketPath, steps, recordPath};
  if (!server.listening()) {
    std::fprintf(stderr, "quillmere-fake-helper: cannot listen on %s\n", socketPath.c_str());
    return 2;
  }
  server.serve();
  return 0;
}
