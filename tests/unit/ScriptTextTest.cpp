#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "helper/ScriptText.h"
#include "tests/support/CaseName.h"

namespace quillmere {
namespace {

using testing_support::CaseName;

struct TrimCase {
  const char* name;
  std::string bytes;
  std::optional<std::string> text;
};

class ScriptTextTest : public testing::TestWithParam<TrimCase> {};

TEST_P(ScriptTextTest, TrimsExactlyTheWhiteSpaceSetAtBothEnds) {
  EXPECT_EQ(scriptText(GetParam().bytes), GetParam().text);
}

// Each character of the set, alone on either side of a word, is cut.
std::vector<TrimCase> eachWhiteSpaceCharacter() {
  const std::vector<std::pair<const char*, std::string>> set = {
      {"Tab", "\t"},
      {"LineFeed", "\n"},
      {"VerticalTab", "\v"},
      {"FormFeed", "\f"},
      {"Return", "\r"},
      {"Space", " "},
      {"U0085", "\xC2\x85"},
      {"U00A0", "\xC2\xA0"},
      {"U1680", "\xE1\x9A\x80"},
      {"U2000", "\xE2\x80\x80"},
      {"U2001", "\xE2\x80\x81"},
      {"U2002", "\xE2\x80\x82"},
      {"U2003", "\xE2\x80\x83"},
      {"U2004", "\xE2\x80\x84"},
      {"U2005", "\xE2\x80\x85"},
      {"U2006", "\xE2\x80\x86"},
      {"U2007", "\xE2\x80\x87"},
      {"U2008", "\xE2\x80\x88"},
      {"U2009", "\xE2\x80\x89"},
      {"U200A", "\xE2\x80\x8A"},
      {"U2028", "\xE2\x80\xA8"},
      {"U2029", "\xE2\x80\xA9"},
      {"U202F", "\xE2\x80\xAF"},
      {"U205F", "\xE2\x81\x9F"},
      {"U3000", "\xE3\x80\x80"},
  };
  std::vector<TrimCase> cases;
  for (const auto& [name, character] : set) {
    cases.push_back(TrimCase{name, character + "word" + character + character, "word"});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EachCharacter, ScriptTextTest,
                         testing::ValuesIn(eachWhiteSpaceCharacter()), CaseName{});

INSTANTIATE_TEST_SUITE_P(
    Texts, ScriptTextTest,
    testing::Values(TrimCase{"EmptyIsEmptyNotAbsent", "", ""},
                    TrimCase{"OnlyWhiteSpaceIsEmpty", "\n \t\xE3\x80\x80\r\n\xC2\x85", ""},
                    TrimCase{"OneWordAndLineBreak", "hello\n", "hello"},
                    TrimCase{"InnerWhiteSpaceKept", "\n a \n\n\xC2\xA0 b\t \n", "a \n\n\xC2\xA0 b"},
                    TrimCase{"NonAsciiAtTheEndsKept", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
                    // Look-alikes outside the set: zero-width space, BOM, NUL and U+180E are kept.
                    TrimCase{"ZeroWidthSpaceKept", "\xE2\x80\x8Bx\xE2\x80\x8B",
                             "\xE2\x80\x8Bx\xE2\x80\x8B"},
                    TrimCase{"ByteOrderMarkKept", "\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
                    TrimCase{"MongolianVowelSeparatorKept", "x\xE1\xA0\x8E", "x\xE1\xA0\x8E"},
                    TrimCase{"NulKept", std::string{"\0x\0", 3}, std::string{"\0x\0", 3}},
                    // Whole characters only: U+0A85 ends in byte 0x85 and U+3020 in 0xA0, which are
                    // white space when read as Latin-1.
                    TrimCase{"GujaratiLetterKept", "x\xE0\xAA\x85", "x\xE0\xAA\x85"},
                    TrimCase{"PostalMarkFaceKept", "\xE3\x80\xA0x", "\xE3\x80\xA0x"},
                    TrimCase{"InvalidIsAbsent", "ok\xFF", std::nullopt},
                    TrimCase{"InvalidInsideWhiteSpaceIsAbsent", "  \xC0\x80  ", std::nullopt}),
    CaseName{});

}  // namespace
}  // namespace quillmere
