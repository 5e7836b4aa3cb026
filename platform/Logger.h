#pragma once

#include <string>
#include <string_view>

namespace quillmere::platform {

// Writes one log entry per message. The text is data, never a format.
class Logger {
 public:
  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  virtual ~Logger() = default;

  virtual void log(std::string_view message) = 0;
};

// One line per message on standard error, written with a single write() so lines from different
// threads never interleave. Under systemd this is the journal.
class StderrLogger final : public Logger {
 public:
  void log(std::string_view message) override;
};

// The line as written: control characters (a line feed in a caller's path, say) become \xNN
// escapes so that one message stays one line; everything else is kept byte for byte.
std::string logLine(std::string_view message);

}  // namespace quillmere::platform
