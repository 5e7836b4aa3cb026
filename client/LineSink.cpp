#include "client/LineSink.h"

#include <unistd.h>

#include <string>

#include "platform/Files.h"

namespace quillmere::client {

void StdoutLineSink::writeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line += '\n';
  static_cast<void>(platform::writeWhole(STDOUT_FILENO, line));
}

}  // namespace quillmere::client
