#include "platform/Randomness.h"

#include <sys/random.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "platform/HexText.h"

namespace quillmere::platform {
Result<void> fillRandomBytes(std::span<std::uint8_t> bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t count = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (count < 0) {
      if (errno == EINTR) continue;
      return lastError("getrandom");
    }
    filled += static_cast<std::size_t>(count);
  }
  return {};
}

std::string uuidV4Text(std::array<std::uint8_t, 16> bytes) {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  std::string text;
  text.reserve(36);
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (index == 4 || index == 6 || index == 8 || index == 10) text += '-';
    appendHexByte(text, bytes[index], /*upperCase=*/true);
  }
  return text;
}

Result<std::string> randomUuidV4Text() {
  std::array<std::uint8_t, 16> bytes{};
  if (auto filled = fillRandomBytes(bytes); !filled) return filled.error();
  return uuidV4Text(bytes);
}

Result<std::string> randomHexText(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  if (auto filled = fillRandomBytes(bytes); !filled) return filled.error();
  std::string text;
  text.reserve(2 * count);
  for (const std::uint8_t byte : bytes) appendHexByte(text, byte);
  return text;
}

}  // namespace quillmere::platform
