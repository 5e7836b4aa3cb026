#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::varlink {

// Largest message either side accepts, without its terminating NUL.
inline constexpr std::size_t maxMessageSize = std::size_t{16} * 1024 * 1024;

// Splits a byte stream into NUL-terminated messages. Bytes may arrive in any pieces: a message
// split across reads, several messages in one read.
class MessageFramer {
 public:
  explicit MessageFramer(std::size_t maxSize = maxMessageSize) : maxSize_(maxSize) {}

  void append(std::string_view bytes);

  // The next complete message without its NUL, or nothing until one has arrived whole.
  std::optional<std::string> next();

  // True once an unterminated message has grown past the limit. The stream cannot be resynced,
  // so the caller stops reading instead of buffering the rest.
  bool oversized() const;

  // Bytes received but not yet handed out.
  std::size_t pending() const { return buffer_.size() - start_; }

 private:
  void reserveFor(std::size_t appended);

  std::size_t maxSize_;
  std::string buffer_;
  std::size_t start_ = 0;    // first byte not yet handed out
  std::size_t scanned_ = 0;  // bytes from start_ known to hold no NUL
};

}  // namespace quillmere::varlink
