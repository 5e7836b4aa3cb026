// Growing a text read in from a stream of unknown length: what it held is kept, new bytes are
// zero, and once it is large it grows where it is instead of being copied again and again.

#include <gtest/gtest.h>

#include <string>

#include "platform/Memory.h"

namespace quillmere::platform {
namespace {

constexpr std::size_t kMebibyte = 1024 * 1024;

// Bytes that show where they stand, so that a copy to the wrong place or a lost step shows.
void fillFrom(std::string& text, std::size_t from) {
  for (std::size_t index = from; index < text.size(); ++index) {
    text[index] = static_cast<char>(index % 251);
  }
}

bool holdsPattern(const std::string& text, std::size_t length) {
  for (std::size_t index = 0; index < length; ++index) {
    if (text[index] != static_cast<char>(index % 251)) return false;
  }
  return true;
}

TEST(LargeTextTest, GrowsToWhatIsNeededKeepingTheBytesAndZeroingTheNew) {
  std::string text;
  std::size_t filled = 0;
  for (const std::size_t needed :
       {std::size_t{1}, std::size_t{4096}, 3 * kMebibyte + 5, 3 * kMebibyte, 20 * kMebibyte + 1}) {
    growLargeText(text, needed);
    ASSERT_GE(text.size(), needed);
    ASSERT_TRUE(holdsPattern(text, filled)) << needed;
    EXPECT_EQ(text.find_first_not_of('\0', filled), std::string::npos) << needed;
    fillFrom(text, filled);
    filled = text.size();
  }
}

TEST(LargeTextTest, NeverShrinks) {
  std::string text(5 * kMebibyte, 'x');
  growLargeText(text, kMebibyte);
  EXPECT_EQ(text, std::string(5 * kMebibyte, 'x'));
}

// Growth to hundreds of MiB by copying would cost more than the bytes themselves; past its first
// few MiB the text stays where it is. (Where the system refuses the address space it is copied,
// and this says so rather than failing.)
TEST(LargeTextTest, ALargeTextGrowsWithoutMoving) {
  std::string text;
  growLargeText(text, 2 * kMebibyte);
  fillFrom(text, 0);
  const char* const start = text.data();
  if (text.capacity() < 64 * kMebibyte) {
    GTEST_SKIP() << "this system refused the address space for a large text";
  }
  for (std::size_t size = 2 * kMebibyte; size <= 48 * kMebibyte; size += kMebibyte / 2 + 3) {
    const std::size_t filled = text.size();
    growLargeText(text, size);
    fillFrom(text, filled);
    ASSERT_EQ(text.data(), start) << size;
  }
  EXPECT_TRUE(holdsPattern(text, text.size()));
}

}  // namespace
}  // namespace quillmere::platform
