#include "platform/Logger.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace quillmere::platform {

std::string logLine(std::string_view message) {
  static constexpr std::array<char, 16> hexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                                  '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::string line;
  line.reserve(message.size() + 1);
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
      line += "\\x";
      line += hexDigits[byte >> 4];
      line += hexDigits[byte & 0xf];
    } else {
      line += c;
    }
  }
  line += '\n';
  return line;
}

void StderrLogger::log(std::string_view message) {
  const std::string line = logLine(message);
  std::string_view left = line;
  // A pipe or the journal takes a line in one piece; a short write is only finished off.
  while (!left.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, left.data(), left.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    left.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace quillmere::platform
