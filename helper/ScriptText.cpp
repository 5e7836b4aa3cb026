#include "helper/ScriptText.h"

#include <array>
#include <utility>

#include "protocol/JsonText.h"

namespace quillmere {
namespace {

// The white space outside ASCII, as UTF-8.
constexpr std::array<std::string_view, 19> kWideWhiteSpace = {
    "\xC2\x85",      // U+0085 next line
    "\xC2\xA0",      // U+00A0 no-break space
    "\xE1\x9A\x80",  // U+1680 ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",  // U+2000 to U+200A
    "\xE2\x80\xA8",  // U+2028 line separator
    "\xE2\x80\xA9",  // U+2029 paragraph separator
    "\xE2\x80\xAF",  // U+202F narrow no-break space
    "\xE2\x81\x9F",  // U+205F medium mathematical space
    "\xE3\x80\x80",  // U+3000 ideographic space
};

bool isAsciiWhiteSpace(char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

// Length of the white-space character `matches` finds at one end of `text`, or 0.
template <typename Matches>
std::size_t whiteSpaceLength(Matches matches) {
  for (const std::string_view character : kWideWhiteSpace) {
    if (matches(character)) return character.size();
  }
  return 0;
}

std::size_t leadingWhiteSpace(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiWhiteSpace(text.front())) return 1;
  return whiteSpaceLength([text](std::string_view c) { return text.starts_with(c); });
}

// In valid UTF-8 a matching suffix is a whole character: continuation bytes never start one.
std::size_t trailingWhiteSpace(std::string_view text) {
  if (text.empty()) return 0;
  if (isAsciiWhiteSpace(text.back())) return 1;
  return whiteSpaceLength([text](std::string_view c) { return text.ends_with(c); });
}

}  // namespace

TrimmedRange trimmedRange(std::string_view text) {
  std::size_t begin = 0;
  while (const std::size_t length = leadingWhiteSpace(text.substr(begin))) begin += length;
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t length = trailingWhiteSpace(text.substr(begin, end - begin));
    if (length == 0) break;
    end -= length;
  }
  return TrimmedRange{begin, end};
}

std::optional<std::string> scriptText(std::string bytes) {
  if (!varlink::isValidUtf8(bytes)) return std::nullopt;
  const TrimmedRange range = trimmedRange(bytes);
  bytes.erase(range.end);
  bytes.erase(0, range.begin);
  return bytes;
}

}  // namespace quillmere
