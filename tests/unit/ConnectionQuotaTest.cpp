#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "helper/ConnectionQuota.h"

namespace quillmere {
namespace {

constexpr uid_t user = 1000;
constexpr uid_t otherUser = 1001;

std::vector<ConnectionQuota::Place> takeAll(ConnectionQuota& quota, uid_t uid, int count) {
  std::vector<ConnectionQuota::Place> places;
  for (int i = 0; i < count; ++i) {
    auto place = quota.take(uid);
    if (!place) break;
    places.push_back(std::move(*place));
  }
  return places;
}

TEST(ConnectionQuotaTest, OneUserCannotTakeMoreThanTheirShare) {
  ConnectionQuota quota{3};
  const auto held = takeAll(quota, user, 3);
  ASSERT_EQ(held.size(), 3u);
  EXPECT_FALSE(quota.take(user));
  EXPECT_TRUE(quota.take(otherUser)) << "another user is not affected";
}

TEST(ConnectionQuotaTest, RootIsNeverTurnedAway) {
  ConnectionQuota quota{1};
  EXPECT_EQ(takeAll(quota, 0, 100).size(), 100u);
}

TEST(ConnectionQuotaTest, ADroppedPlaceIsFreeAgainOnce) {
  ConnectionQuota quota{2};
  auto first = quota.take(user);
  auto second = quota.take(user);
  ASSERT_TRUE(first && second);
  {
    // Moving a place around neither frees it nor frees it twice.
    ConnectionQuota::Place moved = std::move(*first);
    ConnectionQuota::Place reassigned;
    reassigned = std::move(moved);
    EXPECT_FALSE(quota.take(user));
  }
  auto third = quota.take(user);
  EXPECT_TRUE(third);
  EXPECT_FALSE(quota.take(user));
  second.reset();
  third.reset();
  EXPECT_EQ(takeAll(quota, user, 5).size(), 2u);
}

// All users other than root together stop at their share, so root's room stays free.
TEST(ConnectionQuotaTest, AllUsersTogetherStopAtTheirShare) {
  ConnectionQuota quota{3, 5};
  auto first = takeAll(quota, user, 3);
  const auto second = takeAll(quota, otherUser, 3);
  EXPECT_EQ(second.size(), 2u);
  EXPECT_FALSE(quota.take(1002));
  EXPECT_EQ(takeAll(quota, 0, 10).size(), 10u) << "root is not counted";
  first.pop_back();
  EXPECT_TRUE(quota.take(1002)) << "a place given back is anyone's";
}

}  // namespace
}  // namespace quillmere
