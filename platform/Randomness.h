#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "platform/Result.h"

namespace quillmere::platform {

// Fills `bytes` from the kernel's random source (getrandom), or fails with its errno.
Result<void> fillRandomBytes(std::span<std::uint8_t> bytes);

// The 36-character upper-case text of a version-4 UUID made from `bytes`: the version and
// variant bits are set, the other 122 bits are taken as they are.
std::string uuidV4Text(std::array<std::uint8_t, 16> bytes);

// A fresh random version-4 UUID text, or the errno of the failed getrandom.
Result<std::string> randomUuidV4Text();

// `count` random bytes as lower-case hexadecimal, or the errno of the failed getrandom.
Result<std::string> randomHexText(std::size_t count);

}  // namespace quillmere::platform
