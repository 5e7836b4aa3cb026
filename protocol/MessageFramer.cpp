#include "protocol/MessageFramer.h"

#include <algorithm>
#include <limits>

namespace quillmere::varlink {

void MessageFramer::append(std::string_view bytes) {
  // Drop consumed bytes before growing, so a long-lived connection does not keep them.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  reserveFor(bytes.size());
  buffer_.append(bytes);
}

// Doubling the buffer past the limit would hold the old copy and one of twice the limit at once;
// so once the next doubling would pass it, the buffer grows straight to a whole message at the
// limit and what is appended with it, and never again.
void MessageFramer::reserveFor(std::size_t appended) {
  const std::size_t needed = buffer_.size() + appended;
  constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max() / 8;
  if (needed <= buffer_.capacity() || maxSize_ > unbounded || appended > unbounded) {
    return;
  }
  const std::size_t doubled = std::max(needed, 2 * buffer_.capacity());
  const std::size_t whole = start_ + maxSize_ + 1 + appended;
  buffer_.reserve(2 * doubled > whole ? std::max(needed, whole) : doubled);
}

std::optional<std::string> MessageFramer::next() {
  const std::size_t terminator = buffer_.find('\0', start_ + scanned_);
  if (terminator == std::string::npos) {
    scanned_ = buffer_.size() - start_;
    return std::nullopt;
  }
  if (terminator - start_ > maxSize_) {
    scanned_ = terminator - start_;
    return std::nullopt;
  }
  std::string message;
  if (start_ == 0 && terminator >= buffer_.size() / 2) {
    // Most of the buffer is this message: it becomes the message instead of being copied, and
    // only the rest is.
    std::string rest = buffer_.substr(terminator + 1);
    message = std::move(buffer_);
    message.resize(terminator);
    buffer_ = std::move(rest);
  } else {
    message = buffer_.substr(start_, terminator - start_);
    start_ = terminator + 1;
  }
  scanned_ = 0;
  return message;
}

bool MessageFramer::oversized() const { return scanned_ > maxSize_; }

}  // namespace quillmere::varlink
