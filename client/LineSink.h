#pragma once

#include <string>
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

  // `label` and `text` as one line, the text never copied just to be put behind its label (a
  // script's output may be hundreds of MiB).
  virtual void writeLabelledLine(std::string_view label, std::string_view text) {
    std::string line{label};
    line += text;
    writeLine(line);
  }
};

// Standard output, one writev() per line so that a line is never split by another writer.
// A reader that has gone away (EPIPE) is ignored: the exit status still tells the outcome.
class StdoutLineSink final : public LineSink {
 public:
  void writeLine(std::string_view text) override;
  void writeLabelledLine(std::string_view label, std::string_view text) override;
};

}  // namespace quillmere::client
