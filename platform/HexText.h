#pragma once

#include <string>

namespace quillmere::platform {

// Appends `byte` as two hex digits.
inline void appendHexByte(std::string& text, unsigned char byte, bool upperCase = false) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  text += digits[byte >> 4];
  text += digits[byte & 0x0f];
}

// Appends `byte` spelt out as "\xHH", the form that both C and bash read back as that byte.
inline void appendByteEscape(std::string& text, unsigned char byte) {
  text += "\\x";
  appendHexByte(text, byte);
}

}  // namespace quillmere::platform
