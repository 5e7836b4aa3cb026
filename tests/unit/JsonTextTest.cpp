// The bulk JSON string writer and reader, held against nlohmann::json, which the rest of the
// protocol uses: both must agree byte for byte on what they write and on what they accept.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "protocol/JsonText.h"
#include "tests/support/CaseName.h"

namespace quillmere::varlink {
namespace {

using nlohmann::json;
using testing_support::CaseName;

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8ValidationTest : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ValidationTest, AcceptsOnlyWellFormedUtf8) {
  EXPECT_EQ(isValidUtf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8ValidationTest,
    testing::Values(Utf8Case{"Empty", "", true}, Utf8Case{"Ascii", "plain text\n", true},
                    Utf8Case{"NulByte", std::string{"a\0b", 3}, true},
                    Utf8Case{"TwoThreeFourBytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
                    Utf8Case{"LowestAndHighest", "\xC2\x80 \xF4\x8F\xBF\xBF", true},
                    Utf8Case{"LastBeforeSurrogates", "\xED\x9F\xBF", true},
                    Utf8Case{"FirstAfterSurrogates", "\xEE\x80\x80", true},
                    Utf8Case{"LoneContinuation", "\x80", false},
                    Utf8Case{"InvalidByteFF", "\xFF", false},
                    Utf8Case{"OverlongTwoBytes", "\xC0\xAF", false},
                    Utf8Case{"OverlongC1", "\xC1\xBF", false},
                    Utf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", false},
                    Utf8Case{"OverlongFourBytes", "\xF0\x80\x80\xAF", false},
                    Utf8Case{"Surrogate", "\xED\xA0\x80", false},
                    Utf8Case{"AboveMaximum", "\xF4\x90\x80\x80", false},
                    Utf8Case{"LeadF5", "\xF5\x80\x80\x80", false},
                    Utf8Case{"TruncatedAtEnd", "ok\xE2\x82", false},
                    Utf8Case{"TruncatedBeforeAscii", "\xE2\x82x", false},
                    Utf8Case{"MissingFourthByte", "\xF0\x9F\x98 ", false}),
    CaseName{});

struct TextCase {
  const char* name;
  std::string text;
};

// Long enough to cross the eight-byte steps of the fast path at every offset.
std::string around(std::string_view middle) {
  return "0123456789abc" + std::string{middle} + "defghijklmnopqrstuvw";
}

const TextCase kTexts[] = {
    {"Empty", ""},
    {"Plain", around("")},
    {"QuoteAndBackslash", around("\"\\")},
    {"ShortEscapes", around("\b\t\n\f\r")},
    {"OtherControls", around(std::string{"\0\x01\x1f", 3})},
    {"Delete", around("\x7f")},
    {"MultiByte", around("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")},
    {"LoneContinuation", around("\x80")},
    {"Overlong", around("\xC0\xAF")},
    {"Surrogate", around("\xED\xA0\x80")},
    {"AboveMaximum", around("\xF4\x90\x80\x80")},
    {"CutBeforeAscii", around("\xE2\x82x")},
    {"CutAtTheEnd", "x\xF0\x9F\x98"},
    {"InvalidThenValid", around("\xFF\xC3\xA9")},
};

class JsonTextWritingTest : public testing::TestWithParam<TextCase> {};

TEST_P(JsonTextWritingTest, WritesWhatTheLibraryWrites) {
  const std::string& text = GetParam().text;
  std::string written;
  appendJsonString(written, text);
  EXPECT_EQ(written, json(text).dump(-1, ' ', false, json::error_handler_t::replace));
}

TEST_P(JsonTextWritingTest, PiecesCutAtCharacterBoundariesJoinToTheWhole) {
  const std::string& text = GetParam().text;
  std::string whole;
  appendEscaped(whole, text, 0, std::string::npos);
  for (std::size_t limit = 1; limit <= 7; ++limit) {
    std::string joined;
    for (std::size_t position = 0; position < text.size();) {
      std::string piece;
      position = appendEscaped(piece, text, position, limit);
      // A piece passes its limit only by the rest of one character.
      EXPECT_LE(piece.size(), limit + 5) << limit;
      EXPECT_TRUE(json::accept("\"" + piece + "\"")) << limit << ": " << piece;
      joined += piece;
    }
    EXPECT_EQ(joined, whole) << limit;
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, JsonTextWritingTest, testing::ValuesIn(kTexts), CaseName{});

struct LiteralCase {
  const char* name;
  std::string literal;
};

class JsonTextReadingTest : public testing::TestWithParam<LiteralCase> {};

TEST_P(JsonTextReadingTest, AcceptsAndDecodesWhatTheLibraryDoes) {
  const std::string text = GetParam().literal + ",";
  std::size_t position = 0;
  std::string value = "left over";
  const bool read = readJsonString(text, position, value);
  const json parsed = json::parse(GetParam().literal, nullptr, false);
  ASSERT_EQ(read, !parsed.is_discarded());
  if (read) {
    EXPECT_EQ(value, parsed.get<std::string>());
    EXPECT_EQ(position, GetParam().literal.size());
  }
}

// Written over the start of its own buffer, the value comes out as readJsonString gives it, and
// what follows the literal is left alone for the reader that comes next.
TEST_P(JsonTextReadingTest, ReadsInPlaceWhatItReadsIntoAStringOfItsOwn) {
  const std::string prefix = R"({"output":)";
  const std::string suffix = R"(,"success":true})";
  const std::string text = prefix + GetParam().literal + suffix;
  std::size_t expectedPosition = prefix.size();
  std::string expected;
  const bool read = readJsonString(text, expectedPosition, expected);

  std::string buffer = text;
  std::size_t position = prefix.size();
  const auto length = readJsonStringInPlace(buffer, position);
  ASSERT_EQ(length.has_value(), read);
  if (read) {
    EXPECT_EQ(buffer.substr(0, *length), expected);
    EXPECT_EQ(position, expectedPosition);
    EXPECT_EQ(buffer.substr(position), text.substr(position));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Literals, JsonTextReadingTest,
    testing::Values(LiteralCase{"Empty", R"("")"}, LiteralCase{"Plain", "\"" + around("") + "\""},
                    LiteralCase{"AllShortEscapes", R"("\"\\\/\b\f\n\r\t")"},
                    LiteralCase{"EscapedQuoteBeforeTheEnd", R"("a\\\"b\\")"},
                    LiteralCase{"UnicodeEscapes", R"("\u0041\u00e9\u20AC\ud83d\ude00")"},
                    LiteralCase{"RawMultiByte", "\"\xC3\xA9\xF0\x9F\x98\x80\""},
                    LiteralCase{"RawDelete", "\"\x7f\""}, LiteralCase{"RawControl", "\"a\nb\""},
                    LiteralCase{"UnknownEscape", R"("\x41")"},
                    LiteralCase{"ShortUnicodeEscape", R"("\u41")"},
                    LiteralCase{"LoneHighSurrogate", R"("\ud83dx")"},
                    LiteralCase{"LoneLowSurrogate", R"("\ude00")"},
                    LiteralCase{"HighThenNotLow", R"("\ud83d\u0041")"},
                    LiteralCase{"InvalidUtf8", "\"" + around("\xC0\xAF") + "\""},
                    LiteralCase{"CutUtf8", "\"\xE2\x82\""}, LiteralCase{"Unclosed", R"("abc)"},
                    LiteralCase{"EndsInBackslash", R"("abc\")"}),
    CaseName{});

// The bulk steps take sixteen and eight bytes at a time: a byte that needs care is found at
// every offset within and across those steps, in writing, reading and validating.
TEST(JsonTextTest, FindsWhatNeedsCareAtEveryOffsetOfTheBulkSteps) {
  for (const std::string_view special : {"\n", "\"", "\\", "\x01", "\xC3\xA9", "\xFF"}) {
    for (std::size_t offset = 0; offset < 40; ++offset) {
      std::string text(48, 'x');
      text.insert(offset, special);
      std::string written;
      appendJsonString(written, text);
      ASSERT_EQ(written, json(text).dump(-1, ' ', false, json::error_handler_t::replace)) << offset;
      const bool valid = special != "\xFF";
      ASSERT_EQ(isValidUtf8(text), valid) << offset;
      std::size_t position = 0;
      std::string value;
      ASSERT_TRUE(readJsonString(written, position, value)) << offset;
      if (valid) {
        EXPECT_EQ(value, text) << offset;
      }
    }
  }
}

TEST(JsonTextTest, Utf8SequenceLengthGivesTheSequenceOrItsInvalidStart) {
  EXPECT_EQ(utf8SequenceLength("\xC3\xA9", 0), 2);
  EXPECT_EQ(utf8SequenceLength("\xF0\x9F\x98\x80", 0), 4);
  EXPECT_EQ(utf8SequenceLength("\xFF", 0), -1);
  EXPECT_EQ(utf8SequenceLength("\xE2\x82x", 0), -2);
  EXPECT_EQ(utf8SequenceLength("\xF0\x9F\x98", 0), -3);
}

}  // namespace
}  // namespace quillmere::varlink
