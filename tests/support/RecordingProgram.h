#pragma once

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace quillmere::testing_support {

// A bash stand-in for a program that appends each call's arguments to `recordPath` (arguments
// ended by 0x1F, calls by 0x1E, so that any byte but those two survives) and then runs `tail`.
inline std::string recordingProgram(const std::string& recordPath, const std::string& tail = {}) {
  return "#!/bin/bash\n"
         "for a in \"$@\"; do printf '%s\\x1f' \"$a\"; done >> '" +
         recordPath +
         "'\n"
         "printf '\\x1e' >> '" +
         recordPath + "'\n" + tail;
}

// The calls a recording stand-in wrote to `recordPath`, one argument list each.
inline std::vector<std::vector<std::string>> recordedCalls(const std::string& recordPath) {
  std::ifstream file{recordPath};
  std::istringstream callStream{std::string{std::istreambuf_iterator<char>{file}, {}}};
  std::vector<std::vector<std::string>> calls;
  for (std::string call; std::getline(callStream, call, '\x1e');) {
    std::vector<std::string> arguments;
    std::istringstream argumentStream{call};
    for (std::string argument; std::getline(argumentStream, argument, '\x1f');) {
      arguments.push_back(argument);
    }
    calls.push_back(arguments);
  }
  return calls;
}

}  // namespace quillmere::testing_support
