#pragma once

#include <string_view>

namespace quillmere::client {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace quillmere::client
