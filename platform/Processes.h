// Processes and threads: start a child, collect or drain its output, reap it; name a thread.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.h"

namespace quillmere::platform {

enum class OutputMode {
  Inherit,  // the child writes to the daemon's own descriptor
  Capture,  // a pipe of its own, read whole into memory
  Discard,  // a pipe of its own, drained and thrown away (never kept, never blocks the child)
};

struct SpawnSpec {
  std::string path;                      // absolute path of the executable; no PATH search ever
  std::vector<std::string> arguments;    // argv[1..]; argv[0] is `path`
  std::vector<std::string> environment;  // the child's complete environment, "NAME=value" entries
  OutputMode standardOutput = OutputMode::Inherit;
  OutputMode standardError = OutputMode::Inherit;
};

struct ProcessOutcome {
  int status = 0;              // exit code, or the signal number when a signal ended the child
  std::string standardOutput;  // bytes captured (empty unless Capture)
  std::string standardError;   // bytes captured (empty unless Capture)
};

// Starts the child, drains every captured/discarded pipe while it runs, reaps it, and returns.
// Returns only when all its pipes are at end of file AND the child has been reaped.
// A path that is not absolute, or any string holding a NUL byte, fails with EINVAL before
// anything is started. If reading the pipes or reaping fails after the child started, the pipes
// are closed, the child is still reaped where possible, and the failing step's errno is returned.
// Safe to call from several threads at once.
Result<ProcessOutcome> runProcess(const SpawnSpec& request);

// A copy of this process's environment (environ), entry for entry.
std::vector<std::string> currentEnvironment();

// A copy of this process's environment (environ) with PATH set to `pathValue`: an existing PATH
// entry is replaced whole, a missing one is added; every other entry passes unchanged, in order.
// Reads environ without locking, so no other thread may modify the environment meanwhile.
std::vector<std::string> environmentWithPath(std::string_view pathValue);

// Makes a write to a closed pipe or socket fail with EPIPE instead of ending the process.
inline void ignoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

// Names the calling thread as `ps -L` and /proc show it (at most 15 characters are kept).
inline void nameCurrentThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

}  // namespace quillmere::platform
