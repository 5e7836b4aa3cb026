#pragma once

#include <cstddef>
#include <optional>
#include <span>
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

  // Room for up to `bytes` more at the end of what was received, for a read straight into the
  // buffer without a copy in between; `received(count)` then takes the first `count` of them.
  // The room is valid until the next call on the framer.
  std::span<char> room(std::size_t bytes);
  void received(std::size_t count);

  // The next complete message without its NUL, or nothing until one has arrived whole.
  std::optional<std::string> next();

  // True once an unterminated message has grown past the limit. The stream cannot be resynced,
  // so the caller stops reading instead of buffering the rest.
  bool oversized() const;

  // Bytes received but not yet handed out.
  std::size_t pending() const { return end_ - start_; }

 private:
  void reserveFor(std::size_t appended);

  std::size_t maxSize_;
  // Received bytes are buffer_[0, end_); the rest is room already made, so that reading into it
  // again does not fill it again.
  std::string buffer_;
  std::size_t end_ = 0;
  std::size_t start_ = 0;    // first byte not yet handed out
  std::size_t scanned_ = 0;  // bytes from start_ known to hold no NUL
};

}  // namespace quillmere::varlink
