#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>

#include "platform/Randomness.h"
#include "tests/support/UuidForm.h"

namespace quillmere::platform {
namespace {

TEST(UuidTextTest, SetsVersionAndVariantAndWritesUpperCase) {
  std::array<std::uint8_t, 16> zeros{};
  EXPECT_EQ(uuidV4Text(zeros), "00000000-0000-4000-8000-000000000000");
  std::array<std::uint8_t, 16> ones{};
  ones.fill(0xff);
  EXPECT_EQ(uuidV4Text(ones), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");
  const std::array<std::uint8_t, 16> counting{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                              0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  EXPECT_EQ(uuidV4Text(counting), "01234567-89AB-4DEF-8123-456789ABCDEF");
}

TEST(UuidTextTest, RandomOnesAreWellFormedAndFresh) {
  std::set<std::string> seen;
  for (int round = 0; round < 100; ++round) {
    const auto uuid = randomUuidV4Text();
    ASSERT_TRUE(uuid);
    EXPECT_TRUE(testing_support::isUpperUuidV4(*uuid)) << *uuid;
    seen.insert(*uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
}  // namespace quillmere::platform
