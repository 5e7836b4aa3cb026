#include "protocol/MessageFramer.h"

#include <algorithm>

#include "platform/Memory.h"

namespace quillmere::varlink {
namespace {

// A message at least this large takes the buffer with it rather than being copied out of it; a
// smaller one is copied, so that the buffer and its room stay for the next read.
constexpr std::size_t handOverBytes = 64 * 1024;

}  // namespace

void MessageFramer::append(std::string_view bytes) {
  const std::span<char> space = room(bytes.size());
  std::copy(bytes.begin(), bytes.end(), space.begin());
  received(bytes.size());
}

std::span<char> MessageFramer::room(std::size_t bytes) {
  // Drop consumed bytes before growing, so a long-lived connection does not keep them.
  if (start_ > 0 && start_ == end_) {
    start_ = end_ = 0;
  } else if (start_ > 0 && start_ >= end_ / 2) {
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
              buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
    end_ -= start_;
    start_ = 0;
  }
  if (buffer_.size() < end_ + bytes) {
    if (maxSize_ > maxMessageSize) {
      // A script's output: room made for hundreds of MiB without copying what came before.
      platform::growLargeText(buffer_, end_ + bytes);
    } else {
      reserveFor(bytes);
      buffer_.resize(end_ + bytes);
    }
  }
  return {buffer_.data() + end_, bytes};
}

void MessageFramer::received(std::size_t count) { end_ += count; }

// Doubling the buffer past the limit would hold the old copy and one of twice the limit at once;
// so once the next doubling would pass it, the buffer grows straight to a whole message at the
// limit and what is appended with it, and never again.
void MessageFramer::reserveFor(std::size_t appended) {
  const std::size_t needed = end_ + appended;
  if (needed <= buffer_.capacity()) return;
  const std::size_t doubled = std::max(needed, 2 * buffer_.capacity());
  const std::size_t whole = start_ + maxSize_ + 1 + appended;
  buffer_.reserve(2 * doubled > whole ? std::max(needed, whole) : doubled);
}

std::optional<std::string> MessageFramer::next() {
  const std::size_t terminator =
      std::string_view{buffer_.data(), end_}.find('\0', start_ + scanned_);
  if (terminator == std::string::npos) {
    scanned_ = end_ - start_;
    return std::nullopt;
  }
  if (terminator - start_ > maxSize_) {
    scanned_ = terminator - start_;
    return std::nullopt;
  }
  std::string message;
  if (start_ == 0 && terminator >= end_ / 2 && terminator >= handOverBytes) {
    // Most of the buffer is this message: it becomes the message instead of being copied, and
    // only the rest is.
    std::string rest = buffer_.substr(terminator + 1, end_ - terminator - 1);
    message = std::move(buffer_);
    message.resize(terminator);
    buffer_ = std::move(rest);
    end_ = buffer_.size();
  } else {
    message = buffer_.substr(start_, terminator - start_);
    start_ = terminator + 1;
  }
  scanned_ = 0;
  return message;
}

bool MessageFramer::oversized() const { return scanned_ > maxSize_; }

}  // namespace quillmere::varlink
