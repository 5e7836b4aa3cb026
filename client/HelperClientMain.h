#pragma once

#include <string>
#include <vector>

#include "client/HelperClient.h"
#include "client/LineSink.h"

namespace quillmere::client {

// The quillmere-cli program: one command per run, its outcome as lines, exit status 0 or 1.
class HelperClientMain {
 public:
  // The whole program; returns the exit status.
  static int main(int argc, char** argv);

  static void printUsage(LineSink& out);

  // Runs `command` (entry 1 of `args`) through `client` and returns the exit status.
  static int executeCommand(const std::string& command, const std::vector<std::string>& args,
                            HelperClient& client, LineSink& out);
};

}  // namespace quillmere::client
