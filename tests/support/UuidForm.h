#pragma once

#include <cstddef>
#include <string_view>

namespace quillmere::testing_support {

// True for the upper-case text of a version-4 UUID: 8-4-4-4-12 hexadecimal digits, the version
// digit 4 and a variant digit of 8, 9, A or B.
inline bool isUpperUuidV4(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t index = 0; index < text.size(); ++index) {
    const char c = text[index];
    if (index == 8 || index == 13 || index == 18 || index == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return text[14] == '4' && std::string_view{"89AB"}.find(text[19]) != std::string_view::npos;
}

}  // namespace quillmere::testing_support
