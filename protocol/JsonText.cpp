#include "protocol/JsonText.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::varlink {
namespace {

constexpr std::uint64_t kEachByte = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::uint64_t load(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

std::uint64_t zeroBytes(std::uint64_t word) { return (word - kEachByte) & ~word & kHighBits; }

// Whether any of the eight bytes is a control character, a quote, a backslash or not ASCII.
bool needsCare(std::uint64_t word) {
  const std::uint64_t belowSpace = (word - kEachByte * 0x20) & ~word;
  return ((belowSpace | word) & kHighBits) != 0 || zeroBytes(word ^ (kEachByte * '"')) != 0 ||
         zeroBytes(word ^ (kEachByte * '\\')) != 0;
}

// Where the plain run starting at `from` ends: the first byte needing care, or the end.
std::size_t plainRunEnd(std::string_view text, std::size_t from) {
  std::size_t index = from;
#if defined(__SSE2__)
  // Sixteen bytes at a time where the processor has SSE2, which every x86-64 one has.
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (text.size() - index >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + index));
    // Signed, so bytes of 0x80 and above count as below the space too.
    const __m128i careful =
        _mm_or_si128(_mm_cmplt_epi8(bytes, space),
                     _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
    const int mask = _mm_movemask_epi8(careful);
    if (mask != 0)
      return index + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    index += 16;
  }
#endif
  while (text.size() - index >= 8 && !needsCare(load(text.data() + index))) index += 8;
  while (index < text.size()) {
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') break;
    ++index;
  }
  return index;
}

void appendControl(std::string& out, unsigned char byte) {
  switch (byte) {
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    default: {
      constexpr char digits[] = "0123456789abcdef";
      const char escaped[] = {'\\', 'u', '0', '0', digits[byte >> 4], digits[byte & 0xF]};
      out.append(escaped, sizeof escaped);
    }
  }
}

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

// The four hex digits after "\u" at text[position]; advances past them. -1 when malformed.
long readHexQuad(std::string_view text, std::size_t& position) {
  if (text.size() - position < 4) return -1;
  long value = 0;
  for (std::size_t digit = 0; digit < 4; ++digit) {
    const int nibble = hexValue(text[position + digit]);
    if (nibble < 0) return -1;
    value = value * 16 + nibble;
  }
  position += 4;
  return value;
}

// Where a literal's value goes: a string of its own, or the start of the buffer holding the
// literal itself, written over bytes already read.
class InPlaceValue {
 public:
  explicit InPlaceValue(char* start) : start_(start) {}
  InPlaceValue& operator+=(char byte) {
    start_[size_++] = byte;
    return *this;
  }
  void append(const char* bytes, std::size_t count) {
    std::memmove(start_ + size_, bytes, count);
    size_ += count;
  }
  std::size_t size() const { return size_; }

 private:
  char* start_;
  std::size_t size_ = 0;
};

template <typename Value>
void appendUtf8(Value& out, long codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// The escape after a backslash at text[position - 1]; advances past it.
template <typename Value>
bool readEscape(std::string_view text, std::size_t& position, Value& value) {
  if (position >= text.size()) return false;
  const char kind = text[position++];
  switch (kind) {
    case '"':
      value += '"';
      return true;
    case '\\':
      value += '\\';
      return true;
    case '/':
      value += '/';
      return true;
    case 'b':
      value += '\b';
      return true;
    case 'f':
      value += '\f';
      return true;
    case 'n':
      value += '\n';
      return true;
    case 'r':
      value += '\r';
      return true;
    case 't':
      value += '\t';
      return true;
    case 'u':
      break;
    default:
      return false;
  }
  long codePoint = readHexQuad(text, position);
  if (codePoint < 0 || (codePoint >= 0xDC00 && codePoint <= 0xDFFF)) return false;
  if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
    if (text.substr(position, 2) != "\\u") return false;
    position += 2;
    const long low = readHexQuad(text, position);
    if (low < 0xDC00 || low > 0xDFFF) return false;
    codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
  }
  appendUtf8(value, codePoint);
  return true;
}

// Where the literal whose body starts at `from` closes: the first quote not escaped.
std::size_t closingQuote(std::string_view text, std::size_t from) {
  for (std::size_t quote = text.find('"', from); quote != std::string_view::npos;
       quote = text.find('"', quote + 1)) {
    std::size_t backslashes = 0;
    while (quote - backslashes > from && text[quote - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return quote;
  }
  return std::string_view::npos;
}

}  // namespace

int utf8SequenceLength(std::string_view text, std::size_t index) {
  const auto lead = static_cast<unsigned char>(text[index]);
  int length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;
    if (lead == 0xED) secondHigh = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;
    if (lead == 0xF4) secondHigh = 0x8F;
  } else {
    return -1;
  }
  for (std::size_t offset = 1; offset < static_cast<std::size_t>(length); ++offset) {
    if (index + offset >= text.size()) return -static_cast<int>(offset);
    const auto byte = static_cast<unsigned char>(text[index + offset]);
    const unsigned char low = offset == 1 ? secondLow : 0x80;
    const unsigned char high = offset == 1 ? secondHigh : 0xBF;
    if (byte < low || byte > high) return -static_cast<int>(offset);
  }
  return length;
}

bool isValidUtf8(std::string_view bytes) {
  std::size_t index = 0;
  while (index < bytes.size()) {
    // Plain ASCII, which most output is, in large steps.
#if defined(__SSE2__)
    if (bytes.size() - index >= 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + index));
      if (_mm_movemask_epi8(block) == 0) {
        index += 16;
        continue;
      }
    }
#endif
    if (bytes.size() - index >= 8 && (load(bytes.data() + index) & kHighBits) == 0) {
      index += 8;
      continue;
    }
    if (static_cast<std::uint8_t>(bytes[index]) < 0x80) {
      ++index;
      continue;
    }
    const int length = utf8SequenceLength(bytes, index);
    if (length < 0) return false;
    index += static_cast<std::size_t>(length);
  }
  return true;
}

std::size_t appendEscaped(std::string& out, std::string_view text, std::size_t from,
                          std::size_t limit) {
  std::size_t index = from;
  while (index < text.size() && out.size() < limit) {
    // A long run is cut at the limit, so that a piece never grows far beyond it; and it is
    // scanned no further than that, or writing a long text in pieces would scan its rest again
    // for every piece.
    const std::size_t room = limit - out.size();
    const std::size_t scanned = text.size() - index < room ? text.size() : index + room;
    const std::size_t runEnd = plainRunEnd(text.substr(0, scanned), index);
    out.append(text.data() + index, runEnd - index);
    index = runEnd;
    if (index == text.size() || out.size() >= limit) break;
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++index;
    } else if (byte < 0x20) {
      appendControl(out, byte);
      ++index;
    } else if (const int length = utf8SequenceLength(text, index); length > 0) {
      out.append(text.data() + index, static_cast<std::size_t>(length));
      index += static_cast<std::size_t>(length);
    } else {
      out += kReplacement;
      index += static_cast<std::size_t>(-length);
    }
  }
  return index;
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  appendEscaped(out, text, 0, std::string::npos);
  out += '"';
}

namespace {

// The body of the literal opened at text[position] into `value`. Returns where it closes: the
// first quote not taken by an escape; npos for an invalid or unterminated literal.
template <typename Value>
std::size_t readStringBody(std::string_view text, std::size_t position, Value& value) {
  std::size_t index = position + 1;
  while (index < text.size()) {
    const std::size_t runEnd = plainRunEnd(text, index);
    value.append(text.data() + index, runEnd - index);
    index = runEnd;
    if (index == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte == '"') return index;
    if (byte == '\\') {
      ++index;
      if (!readEscape(text, index, value)) return std::string_view::npos;
    } else if (byte >= 0x80) {
      // A quote cannot continue a sequence, so a sequence never reaches past the literal.
      const int length = utf8SequenceLength(text, index);
      if (length < 0) return std::string_view::npos;
      value.append(text.data() + index, static_cast<std::size_t>(length));
      index += static_cast<std::size_t>(length);
    } else {
      return std::string_view::npos;  // a raw control character
    }
  }
  return std::string_view::npos;
}

}  // namespace

bool readJsonString(std::string_view text, std::size_t& position, std::string& value) {
  if (position >= text.size() || text[position] != '"') return false;
  const std::size_t end = closingQuote(text, position + 1);
  if (end == std::string_view::npos) return false;
  value.clear();
  value.reserve(end - position - 1);
  if (readStringBody(text, position, value) != end) return false;
  position = end + 1;
  return true;
}

std::optional<std::size_t> readJsonStringInPlace(std::string& buffer, std::size_t& position) {
  const std::string_view text{buffer};
  if (position >= text.size() || text[position] != '"') return std::nullopt;
  InPlaceValue value{buffer.data()};
  const std::size_t end = readStringBody(text, position, value);
  if (end == std::string_view::npos) return std::nullopt;
  position = end + 1;
  return value.size();
}

std::size_t jsonStringLiteralEnd(std::string_view text, std::size_t position) {
  if (position >= text.size() || text[position] != '"') return std::string_view::npos;
  const std::size_t end = closingQuote(text, position + 1);
  return end == std::string_view::npos ? end : end + 1;
}

}  // namespace quillmere::varlink
