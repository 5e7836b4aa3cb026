#include "protocol/MessageFramer.h"

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
  buffer_.append(bytes);
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
  if (start_ == 0 && terminator + 1 == buffer_.size()) {
    // The buffer holds exactly this message, as a large reply does: hand it over, not a copy.
    buffer_.resize(terminator);
    std::string message = std::move(buffer_);
    buffer_.clear();
    scanned_ = 0;
    return message;
  }
  std::string message = buffer_.substr(start_, terminator - start_);
  start_ = terminator + 1;
  scanned_ = 0;
  return message;
}

bool MessageFramer::oversized() const { return scanned_ > maxSize_; }

}  // namespace quillmere::varlink
