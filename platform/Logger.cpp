#include "platform/Logger.h"

#include <unistd.h>

#include "platform/Files.h"
#include "platform/HexText.h"

namespace quillmere::platform {

std::string logLine(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 1);
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
      appendByteEscape(line, byte);
    } else {
      line += c;
    }
  }
  line += '\n';
  return line;
}

void StderrLogger::log(std::string_view message) {
  // A pipe or the journal takes a line in one piece; a short write is only finished off.
  static_cast<void>(writeWhole(STDERR_FILENO, logLine(message)));
}

}  // namespace quillmere::platform
