#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// Where `text` (valid UTF-8) starts and ends once white space and line breaks are cut from both
// ends: Unicode Zs, U+0009, U+000A to U+000D, U+0085, U+2028 and U+2029.
struct TrimmedRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};
TrimmedRange trimmedRange(std::string_view text);

// A captured stream as the reply's text: absent when not valid UTF-8, otherwise trimmed at both
// ends. Works in place on `bytes`, so a large output is never copied.
std::optional<std::string> scriptText(std::string bytes);

}  // namespace quillmere
