#include "client/LineSink.h"

#include <unistd.h>

#include "platform/Files.h"

namespace quillmere::client {

void StdoutLineSink::writeLine(std::string_view text) { writeLabelledLine({}, text); }

void StdoutLineSink::writeLabelledLine(std::string_view label, std::string_view text) {
  std::string_view pieces[] = {label, text, "\n"};
  static_cast<void>(platform::writeWhole(STDOUT_FILENO, pieces));
}

}  // namespace quillmere::client
