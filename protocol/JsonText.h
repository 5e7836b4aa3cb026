#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::varlink {

// JSON string literals written and read in bulk, fast enough for a script's output of hundreds
// of MiB: runs of plain ASCII are copied whole instead of character by character.

// Length of the strict UTF-8 sequence (no overlong forms, surrogates or values above U+10FFFF)
// that starts at `text[index]`, a byte of 0x80 or more; or, negated, how many bytes form the
// invalid start there, a sequence cut off by the end of `text` included.
int utf8SequenceLength(std::string_view text, std::size_t index);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut-off sequences.
bool isValidUtf8(std::string_view bytes);

// Appends the escaped form of `text` from `from` on to `out` (no quotes), stopping at the first
// character boundary at or after `out` reaching `limit` bytes, and returns where it stopped
// (text.size() when done). Escapes as nlohmann::json's dump() does without ensure_ascii: short
// forms for \b \t \n \f \r \" \\, \u00xx for other control characters, everything else as is.
// A byte that cannot continue a UTF-8 sequence ends that sequence, which becomes U+FFFD.
std::size_t appendEscaped(std::string& out, std::string_view text, std::size_t from,
                          std::size_t limit);

// `text` as a whole JSON string literal, quotes included, appended to `out`.
void appendJsonString(std::string& out, std::string_view text);

// Reads the string literal that starts at `text[position]` (its opening quote) into `value` and
// moves `position` past its closing quote. False for anything that is not a valid string
// literal of strict UTF-8 (raw control characters, bad escapes, lone surrogates included).
bool readJsonString(std::string_view text, std::size_t& position, std::string& value);

// Just past the closing quote of the literal that opens at `text[position]`, without checking
// what it holds; npos when no literal opens there or none closes.
std::size_t jsonStringLiteralEnd(std::string_view text, std::size_t position);

// Reads the literal at `buffer[position]` as readJsonString does, but writes its value over the
// start of `buffer` itself: a value is never longer than its literal, so no byte is overwritten
// before it has been read, and a literal of hundreds of MiB needs no second buffer. Bytes after
// the literal stay as they were. Returns the value's length and moves `position` past the
// closing quote; nothing where readJsonString fails, and then the start of `buffer` is spoilt.
std::optional<std::size_t> readJsonStringInPlace(std::string& buffer, std::size_t& position);

}  // namespace quillmere::varlink
