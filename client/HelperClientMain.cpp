#include "client/HelperClientMain.h"

#include <unistd.h>

#include <exception>
#include <new>

#include "platform/Files.h"
#include "platform/Processes.h"

namespace quillmere::client {
namespace {

constexpr std::string_view usageText =
    "Quillmere Helper Client\n"
    "\n"
    "Usage:\n"
    "  quillmere-cli <command> [arguments]\n"
    "\n"
    "Commands:\n"
    "  wg-up <config-path>       - Bring up WireGuard interface\n"
    "  wg-down <config-path>     - Bring down WireGuard interface\n"
    "  exec <script>             - Execute shell script\n"
    "  version                   - Get helper version\n"
    "  check                     - Check if helper is installed\n"
    "  install                   - Install the helper (requires admin)";

// A script's output may be hundreds of MiB: it goes out behind its label as it is, never copied.
int printResult(const CommandResult& result, LineSink& out) {
  if (result.success) {
    out.writeLabelledLine("SUCCESS: ", result.output ? std::string_view{*result.output} : "");
    return 0;
  }
  out.writeLine("ERROR: " + result.error.value_or("Unknown error"));
  return 1;
}

// Entry 2, or nothing when the command line stops before it.
const std::string* argument(const std::vector<std::string>& args) {
  return args.size() >= 3 ? &args[2] : nullptr;
}

// For when memory has run out: no allocation on the way to standard output.
void writeLastWords(std::string_view line) {
  static_cast<void>(platform::writeWhole(STDOUT_FILENO, line));
}

}  // namespace

int HelperClientMain::main(int argc, char** argv) {
  // A closed standard output must not end the process with a signal: statuses are 0 or 1.
  platform::ignoreBrokenPipes();
  try {
    const std::vector<std::string> args(argv, argv + argc);
    StdoutLineSink out;
    if (args.size() < 2) {
      printUsage(out);
      return 1;
    }
    HelperClient client{out};
    return executeCommand(args[1], args, client, out);
  } catch (const std::bad_alloc&) {
    writeLastWords("ERROR: Out of memory\n");
  } catch (const std::exception&) {
    writeLastWords("ERROR: Internal error\n");
  }
  return 1;
}

void HelperClientMain::printUsage(LineSink& out) { out.writeLine(usageText); }

int HelperClientMain::executeCommand(const std::string& command,
                                     const std::vector<std::string>& args, HelperClient& client,
                                     LineSink& out) {
  if (command == "wg-up" || command == "wg-down") {
    const std::string* configPath = argument(args);
    if (configPath == nullptr) {
      out.writeLine("ERROR: config-path required");
      return 1;
    }
    return printResult(
        client.executeWireGuardCommand(command == "wg-up" ? "up" : "down", *configPath), out);
  }
  if (command == "exec") {
    const std::string* script = argument(args);
    if (script == nullptr) {
      out.writeLine("ERROR: script required");
      return 1;
    }
    return printResult(client.executeShellScript(*script), out);
  }
  if (command == "version") {
    if (const auto version = client.getVersion()) {
      out.writeLine("Helper version: " + *version);
      return 0;
    }
    out.writeLine("ERROR: Failed to get version");
    return 1;
  }
  if (command == "check") {
    const bool installed = client.isHelperInstalled();
    out.writeLine(installed ? "Helper is installed" : "Helper is not installed");
    return installed ? 0 : 1;
  }
  if (command == "install") {
    out.writeLine("Helper installation requires SMJobBless from the main app");
    out.writeLine("This command should be called from the Electron app");
    return 1;
  }
  out.writeLine("ERROR: Unknown command: " + command);
  printUsage(out);
  return 1;
}

}  // namespace quillmere::client
