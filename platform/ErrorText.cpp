#include "platform/ErrorText.h"

#include <string.h>

#include <array>

namespace quillmere::platform {

std::string errorText(int errorNumber) {
  std::array<char, 256> buffer{};
  // GNU strerror_r may return a static string instead of filling the buffer.
  return ::strerror_r(errorNumber, buffer.data(), buffer.size());
}

}  // namespace quillmere::platform
