#include "tests/support/SandboxedHelper.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "protocol/HelperNames.h"

extern char** environ;

namespace quillmere::testing_support {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view insideBinaryDirectory = "/run/quillmere-sandbox/bin";

// The built programs, named by the build.
const std::vector<std::string>& builtPrograms() {
  static const std::vector<std::string> programs{
      QUILLMERE_HELPER_BINARY, QUILLMERE_TEST_CALL_BINARY, QUILLMERE_STUCK_PEER_BINARY,
      QUILLMERE_CLI_BINARY, QUILLMERE_FAKE_HELPER_BINARY};
  return programs;
}

std::string shellQuoted(std::string_view word) {
  std::string result = "'";
  for (const char c : word) {
    result += c == '\'' ? std::string{"'\\''"} : std::string{c};
  }
  return result + "'";
}

platform::ProcessOutcome run(const std::vector<std::string>& command) {
  auto outcome = platform::runProcess(platform::SpawnSpec{
      command.front(),
      {command.begin() + 1, command.end()},
      platform::currentEnvironment(),
      platform::OutputMode::Capture,
      platform::OutputMode::Capture,
  });
  if (!outcome) {
    return platform::ProcessOutcome{127, {}, platform::errorText(outcome.error().number)};
  }
  return std::move(outcome).value();
}

// The first child of `pid`, as the host numbers it, or -1 while it has none.
pid_t firstChild(pid_t pid) {
  std::ifstream children{"/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children"};
  pid_t child = -1;
  children >> child;
  return children ? child : -1;
}

constexpr std::string_view socketUnitPidFile = "/run/quillmere-socket-unit.pid";
constexpr std::string_view socketGenerationFile = "/run/quillmere-socket-unit.generation";

// The stand-in socket unit. systemd-socket-activate waits for the first connection and then
// becomes the program; when that ends, the loop puts the socket up again. Each time the socket
// is up with its owner and mode, the count in the generation file goes up.
std::string socketUnitLoop(const SocketActivation& activation, const std::string& builtHelper) {
  const std::string socket = shellQuoted(activation.listenPath);
  const std::string program =
      shellQuoted(activation.program.empty() ? builtHelper : activation.program);
  std::ostringstream loop;
  loop << "echo $$ > " << socketUnitPidFile << "\n"
       << "generation=0\n"
       << "while :; do\n"
       << "  rm -f " << socket << "\n"
       << "  systemd-socket-activate -l " << socket << " " << program << " &\n"
       << "  activator=$!\n"
       << "  while [ ! -S " << socket
       << " ] && kill -0 $activator 2>/dev/null; do sleep 0.01; done\n"
       << "  [ -S " << socket << " ] || exit 1\n"
       << "  chgrp " << shellQuoted(activation.group) << " " << socket << "\n"
       << "  chmod " << shellQuoted(activation.mode) << " " << socket << "\n"
       << "  generation=$((generation + 1))\n"
       << "  echo $generation > " << socketGenerationFile << "\n"
       << "  wait $activator\n"
       << "done\n";
  return "sh -c " + shellQuoted(loop.str());
}

// The sandbox's start-up script: everything the helper needs is copied into the sandbox's own
// /run before /tmp is covered, since the build may live under the host's /tmp.
std::string startupScript(const SandboxOptions& options) {
  std::ostringstream script;
  script << "set -e\n"
         << "mount --make-rprivate /\n"
         << "mount -t tmpfs -o mode=0755 tmpfs /run\n"
         << "mkdir -p " << insideBinaryDirectory << "\n";
  for (const std::string& program : builtPrograms()) {
    script << "cp " << shellQuoted(program) << " " << insideBinaryDirectory << "/\n";
  }
  for (const auto& [hostFile, insidePath] : options.bindMounts) {
    script << "mount --bind " << shellQuoted(hostFile) << " " << shellQuoted(insidePath) << "\n";
  }
  script << "mount -t tmpfs -o mode=1777 tmpfs /tmp\n";
  for (const std::string& line : options.setup) {
    script << line << "\n";
  }
  const std::string helper = SandboxedHelper::insideBinary("quillmere-helper");
  if (options.startHelper) {
    if (options.socketActivated) {
      script << socketUnitLoop(*options.socketActivated, helper) << " &\n"
             << "while [ ! -e " << socketGenerationFile << " ]; do sleep 0.01; done\n";
    } else {
      script << helper << " &\n";
    }
  }
  // PID 1 only holds the namespaces open; the helper is not PID 1, as under systemd.
  script << "echo sandbox-ready >&2\n"
         << "exec sleep infinity\n";
  return script.str();
}

}  // namespace

std::optional<std::string> SandboxedHelper::unavailableReason() {
  if (::geteuid() != 0) {
    return "sandboxed helper tests need root (CI runs them as root)";
  }
  static const bool namespacesWork =
      run({"/usr/bin/unshare", "--mount", "--pid", "--fork", "/bin/true"}).status == 0;
  if (!namespacesWork) {
    return "sandboxed helper tests need mount and PID namespaces (unshare failed)";
  }
  return std::nullopt;
}

std::string SandboxedHelper::insideBinary(std::string_view name) {
  return std::string{insideBinaryDirectory} + "/" + std::string{name};
}

std::string SandboxedHelper::emptyInstallDirectory() {
  const fs::path directory = fs::path{helperInstallPath}.parent_path();
  const std::string inside = shellQuoted(directory.string());
  return "if [ -d " + inside + " ]; then mount -t tmpfs tmpfs " + inside +
         "; else mount -t tmpfs tmpfs " + shellQuoted(directory.parent_path().string()) +
         " && mkdir -p " + inside + "; fi";
}

std::vector<std::string> SandboxedHelper::installHelper() {
  return {emptyInstallDirectory(), "cp " + insideBinary("quillmere-helper") + " " +
                                       shellQuoted(std::string{helperInstallPath})};
}

std::string SandboxedHelper::stopSocketUnit() {
  return "kill \"$(cat " + std::string{socketUnitPidFile} + ")\"\nrm -f " +
         std::string{helperSocketPath} + "\n";
}

bool SandboxedHelper::socketUnitRunning() const {
  // Stopped means gone or a zombie: the sandbox's PID 1 does not reap.
  return runInside(
             {"/bin/sh", "-c",
              "ps -o stat= -p \"$(cat " + std::string{socketUnitPidFile} + ")\" | grep -qv '^Z'"})
             .status == 0;
}

bool SandboxedHelper::waitForActivationSocket(int count) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream generationFile{hostPath(socketGenerationFile)};
    int generation = 0;
    if (generationFile >> generation && generation >= count) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

SandboxedHelper::SandboxedHelper(SandboxOptions options) {
  char pattern[] = "/tmp/quillmere-sandbox-XXXXXX";
  directory_ = ::mkdtemp(pattern);
  logPath_ = directory_ + "/helper.log";
  const std::string script = startupScript(options);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (directory_ + "/stdout.log").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<std::string> arguments{"/usr/bin/unshare", "--mount",      "--pid",
                                     "--fork",           "--mount-proc", "--kill-child=SIGKILL",
                                     "/bin/sh",          "-c",           script};
  if (!options.networkNamespace.empty()) {
    // ip execs unshare in the named network namespace, so unshare keeps the spawned pid.
    arguments.insert(arguments.begin(), {"/usr/bin/ip", "netns", "exec", options.networkNamespace});
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&unsharePid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    unsharePid_ = -1;
    return;
  }

  const std::string ready = options.startHelper && !options.socketActivated
                                ? "Quillmere Helper: Started and listening for connections"
                                : "sandbox-ready";
  started_ = waitForLogLine(ready);
  for (int attempt = 0; started_ && initPid_ < 0 && attempt < 1000; ++attempt) {
    initPid_ = firstChild(unsharePid_);
    if (initPid_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  started_ = started_ && initPid_ > 0;
}

SandboxedHelper::~SandboxedHelper() {
  stop();
  std::error_code ignored;
  fs::remove_all(directory_, ignored);
}

void SandboxedHelper::stop() {
  if (unsharePid_ > 0) {
    // Killing unshare kills the sandbox's PID 1, and with it every process in the sandbox.
    ::kill(unsharePid_, SIGKILL);
    int status = 0;
    ::waitpid(unsharePid_, &status, 0);
    unsharePid_ = -1;
  }
}

std::string SandboxedHelper::hostPath(std::string_view insidePath) const {
  return "/proc/" + std::to_string(initPid_) + "/root" + std::string{insidePath};
}

std::string SandboxedHelper::socketPath() const { return hostPath(helperSocketPath); }

std::string SandboxedHelper::namespacePath(std::string_view kind) const {
  return "/proc/" + std::to_string(initPid_) + "/ns/" + std::string{kind};
}

std::vector<std::string> SandboxedHelper::logLines() const {
  std::ifstream log{logPath_};
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) {
    if (line != "sandbox-ready") {
      lines.push_back(line);
    }
  }
  return lines;
}

std::size_t SandboxedHelper::countLogLines(std::string_view line) const {
  const auto lines = logLines();
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

bool SandboxedHelper::waitForLogLine(std::string_view line, std::size_t count,
                                     std::chrono::milliseconds patience) const {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (true) {
    std::ifstream log{logPath_};
    std::size_t seen = 0;
    for (std::string logged; std::getline(log, logged);) {
      seen += logged == line ? 1u : 0u;
    }
    if (seen >= count) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

platform::ProcessOutcome SandboxedHelper::runInside(const std::vector<std::string>& command) const {
  std::vector<std::string> entered{
      "/usr/bin/nsenter", "--target", std::to_string(initPid_), "--mount", "--pid", "--net", "--"};
  entered.insert(entered.end(), command.begin(), command.end());
  return run(entered);
}

}  // namespace quillmere::testing_support
