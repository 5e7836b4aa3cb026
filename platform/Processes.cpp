#include "platform/Processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform/Memory.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace quillmere::platform {
namespace {

// Large steps: a child writing hundreds of MiB then costs a few hundred reads and wake-ups, not
// thousands.
constexpr std::size_t kReadChunkBytes = 1024 * 1024;
constexpr std::size_t kFirstReadBytes = 64 * 1024;
constexpr int kPipeBytes = 1024 * 1024;
constexpr int kFirstNonStandardDescriptor = 3;

SystemError failureFor(int errorNumber, std::string step) {
  return SystemError{errorNumber, std::move(step)};
}

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Keeps an end off descriptors 0..2: otherwise dup2 onto stdout could clobber the stderr pipe's
// write end. That only happens when the daemon runs with a standard descriptor closed.
int moveAboveStandardDescriptors(UniqueFd& end) {
  if (end.get() >= kFirstNonStandardDescriptor) return 0;
  const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, kFirstNonStandardDescriptor);
  if (moved < 0) return errno;
  end.reset(moved);
  return 0;
}

// Returns 0 or the errno of the failing step; ends already opened are closed by `pipe`.
int openPipe(Pipe& pipe) {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return errno;
  pipe.readEnd.reset(ends[0]);
  pipe.writeEnd.reset(ends[1]);
  // A larger pipe lets the child write on while the daemon copies what came before. Where the
  // system refuses (a lower pipe-max-size for an unprivileged caller), the default stays.
  ::fcntl(pipe.writeEnd.get(), F_SETPIPE_SZ, kPipeBytes);
  if (const int error = moveAboveStandardDescriptors(pipe.readEnd); error != 0) return error;
  return moveAboveStandardDescriptors(pipe.writeEnd);
}

// A posix_spawn object, set up by `initialize` and released once if that worked.
template <class Object, auto init, auto destroy>
class SpawnObject {
 public:
  SpawnObject() = default;
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  ~SpawnObject() {
    if (initialized_) destroy(&object_);
  }

  int initialize() {
    const int error = init(&object_);
    initialized_ = error == 0;
    return error;
  }
  Object* get() { return &object_; }

 private:
  Object object_{};
  bool initialized_ = false;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                     ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// The daemon may block signals or ignore SIGPIPE; a child must start from a clean slate.
int resetSignalState(SpawnAttributes& attributes) {
  sigset_t emptyMask;
  sigemptyset(&emptyMask);
  // sigfillset() leaves out glibc's internal signals, which glibc 2.36's posix_spawn then leaves
  // ignored in the child across exec. A set with every bit names those too.
  sigset_t allSignals;
  std::memset(&allSignals, 0xff, sizeof allSignals);
  if (const int error = ::posix_spawnattr_setsigmask(attributes.get(), &emptyMask); error != 0) {
    return error;
  }
  if (const int error = ::posix_spawnattr_setsigdefault(attributes.get(), &allSignals);
      error != 0) {
    return error;
  }
  return ::posix_spawnattr_setflags(
      attributes.get(), static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
}

// Redirects the piped streams, then closes everything else, even descriptors that some other
// part of the daemon opened without close-on-exec.
int describeChildDescriptors(SpawnFileActions& actions, const Pipe& standardOutput,
                             const Pipe& standardError) {
  if (standardOutput.writeEnd.valid()) {
    const int error = ::posix_spawn_file_actions_adddup2(
        actions.get(), standardOutput.writeEnd.get(), STDOUT_FILENO);
    if (error != 0) return error;
  }
  if (standardError.writeEnd.valid()) {
    const int error = ::posix_spawn_file_actions_adddup2(
        actions.get(), standardError.writeEnd.get(), STDERR_FILENO);
    if (error != 0) return error;
  }
  return ::posix_spawn_file_actions_addclosefrom_np(actions.get(), kFirstNonStandardDescriptor);
}

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// c_str() would silently cut such strings short, so the child would run something else.
bool isValidRequest(const SpawnSpec& request) {
  if (request.path.empty() || request.path.front() != '/' || containsNul(request.path))
    return false;
  for (const std::string& argument : request.arguments) {
    if (containsNul(argument)) return false;
  }
  for (const std::string& entry : request.environment) {
    if (containsNul(entry)) return false;
  }
  return true;
}

// posix_spawn takes non-const pointers but never writes through them.
std::vector<char*> nullTerminatedPointers(const std::string* first,
                                          const std::vector<std::string>& rest) {
  std::vector<char*> pointers;
  pointers.reserve(rest.size() + 2);
  if (first != nullptr) pointers.push_back(const_cast<char*>(first->c_str()));
  for (const std::string& text : rest) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Captured bytes, read straight into the string that will hold them: no chunks to join, so the
// whole output is in memory once and never copied.
class CapturedBytes {
 public:
  // Reads once from `fd`: the count read, 0 at end of file, or -1 with errno set (ENOMEM when
  // no room could be made: the child is still reaped and the call fails with a value).
  ssize_t readFrom(int fd) {
    // Small outputs, which most are, get small room; a large one is read in large steps.
    const std::size_t wanted = std::clamp(used_, kFirstReadBytes, kReadChunkBytes);
    try {
      growLargeText(bytes_, used_ + wanted);
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      return -1;
    }
    const ssize_t count = ::read(fd, bytes_.data() + used_, bytes_.size() - used_);
    if (count > 0) used_ += static_cast<std::size_t>(count);
    return count;
  }

  void moveInto(std::string& out) {
    bytes_.resize(used_);
    out = std::move(bytes_);
  }

 private:
  std::string bytes_;  // the bytes read, then room already made
  std::size_t used_ = 0;
};

struct DrainedStream {
  UniqueFd readEnd;
  CapturedBytes* captured = nullptr;  // null discards what is read
};

// Reads every stream to end of file. Returns 0, or the errno of a failed poll/read.
int drainToEndOfFile(std::array<DrainedStream, 2>& streams) {
  const auto discarded = std::make_unique<char[]>(kReadChunkBytes);
  for (;;) {
    std::array<pollfd, 2> pollSet{};
    std::array<DrainedStream*, 2> polled{};
    nfds_t polledCount = 0;
    for (DrainedStream& stream : streams) {
      if (!stream.readEnd.valid()) continue;
      pollSet[polledCount] = pollfd{stream.readEnd.get(), POLLIN, 0};
      polled[polledCount] = &stream;
      ++polledCount;
    }
    if (polledCount == 0) return 0;

    if (::poll(pollSet.data(), polledCount, -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (nfds_t index = 0; index < polledCount; ++index) {
      if (pollSet[index].revents == 0) continue;
      DrainedStream& stream = *polled[index];
      const ssize_t count = stream.captured != nullptr
                                ? stream.captured->readFrom(stream.readEnd.get())
                                : ::read(stream.readEnd.get(), discarded.get(), kReadChunkBytes);
      if (count == 0) {
        stream.readEnd.reset();
      } else if (count < 0 && errno != EINTR && errno != EAGAIN) {
        return errno;
      }
    }
  }
}

// Waits for exactly this child: other threads may be reaping children of their own.
int reapChild(pid_t childPid, int& waitStatus) {
  for (;;) {
    const pid_t reaped = ::waitpid(childPid, &waitStatus, 0);
    if (reaped == childPid) return 0;
    if (reaped < 0 && errno == EINTR) continue;
    return reaped < 0 ? errno : ECHILD;
  }
}

int statusFromWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
  return 0;
}

}  // namespace

Result<ProcessOutcome> runProcess(const SpawnSpec& request) {
  if (!isValidRequest(request)) return failureFor(EINVAL, "check the request");

  Pipe standardOutput;
  Pipe standardError;
  if (request.standardOutput != OutputMode::Inherit) {
    if (const int error = openPipe(standardOutput); error != 0) return failureFor(error, "pipe");
  }
  if (request.standardError != OutputMode::Inherit) {
    if (const int error = openPipe(standardError); error != 0) return failureFor(error, "pipe");
  }

  SpawnFileActions actions;
  if (const int error = actions.initialize(); error != 0) return failureFor(error, "spawn");
  if (const int error = describeChildDescriptors(actions, standardOutput, standardError);
      error != 0) {
    return failureFor(error, "spawn");
  }
  SpawnAttributes attributes;
  if (const int error = attributes.initialize(); error != 0) return failureFor(error, "spawn");
  if (const int error = resetSignalState(attributes); error != 0) return failureFor(error, "spawn");

  const std::vector<char*> argv = nullTerminatedPointers(&request.path, request.arguments);
  const std::vector<char*> envp = nullTerminatedPointers(nullptr, request.environment);
  pid_t childPid = -1;
  const int spawnError = ::posix_spawn(&childPid, request.path.c_str(), actions.get(),
                                       attributes.get(), argv.data(), envp.data());
  // Only the child may hold the write ends, or the pipes never reach end of file.
  standardOutput.writeEnd.reset();
  standardError.writeEnd.reset();
  if (spawnError != 0) return failureFor(spawnError, "spawn");

  ProcessOutcome outcome;
  CapturedBytes capturedOutput;
  CapturedBytes capturedError;
  std::array<DrainedStream, 2> streams{
      DrainedStream{std::move(standardOutput.readEnd),
                    request.standardOutput == OutputMode::Capture ? &capturedOutput : nullptr},
      DrainedStream{std::move(standardError.readEnd),
                    request.standardError == OutputMode::Capture ? &capturedError : nullptr},
  };
  const int drainError = drainToEndOfFile(streams);
  // On a drain failure, closing the read ends lets a writing child die of EPIPE instead of
  // blocking forever, so it can still be reaped.
  for (DrainedStream& stream : streams) stream.readEnd.reset();

  int waitStatus = 0;
  const int reapError = reapChild(childPid, waitStatus);
  if (drainError != 0) return failureFor(drainError, "read the output");
  if (reapError != 0) return failureFor(reapError, "wait");
  outcome.status = statusFromWaitStatus(waitStatus);
  capturedOutput.moveInto(outcome.standardOutput);
  capturedError.moveInto(outcome.standardError);
  return outcome;
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> environment;
  // clearenv() leaves environ null rather than pointing at an empty list.
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  return environment;
}

std::vector<std::string> environmentWithPath(std::string_view pathValue) {
  constexpr std::string_view kPathPrefix = "PATH=";
  std::string pathEntry;
  pathEntry.reserve(kPathPrefix.size() + pathValue.size());
  pathEntry.append(kPathPrefix).append(pathValue);

  std::vector<std::string> environment;
  bool pathReplaced = false;
  // clearenv() leaves environ null rather than pointing at an empty list.
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with(kPathPrefix)) {
      environment.push_back(pathEntry);
      pathReplaced = true;
    } else {
      environment.emplace_back(text);
    }
  }
  if (!pathReplaced) environment.push_back(std::move(pathEntry));
  return environment;
}

}  // namespace quillmere::platform
