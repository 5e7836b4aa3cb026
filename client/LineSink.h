#pragma once

#include <string_view>

namespace quillmere::client {

// Where the client's lines go. Each line reaches its destination whole.
class LineSink {
 public:
  LineSink() = default;
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;
  virtual ~LineSink() = default;

  // Writes `text` followed by a newline. `text` may hold newlines of its own.
  virtual void writeLine(std::string_view text) = 0;
};

// Standard output, one write() per line so that a line is never split by another writer.
// A reader that has gone away (EPIPE) is ignored: the exit status still tells the outcome.
class StdoutLineSink final : public LineSink {
 public:
  void writeLine(std::string_view text) override;
};

}  // namespace quillmere::client
