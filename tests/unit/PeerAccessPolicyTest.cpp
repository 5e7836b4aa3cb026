#include <gtest/gtest.h>

#include "helper/PeerAccessPolicy.h"
#include "tests/support/CaseName.h"

namespace quillmere {
namespace {

constexpr gid_t helperGroup = 990;

struct PeerCase {
  const char* name;
  platform::PeerCredentials peer;
  std::optional<gid_t> group;
  bool allowed;
};

class PeerAccessPolicyTest : public testing::TestWithParam<PeerCase> {};

TEST_P(PeerAccessPolicyTest, AllowsOnlyRootAndGroupMembers) {
  EXPECT_EQ(isPeerAllowed(GetParam().peer, GetParam().group), GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Peers, PeerAccessPolicyTest,
    testing::Values(
        PeerCase{"Root", {1, 0, 0, {}}, helperGroup, true},
        PeerCase{"RootWithoutGroup", {1, 0, 0, {}}, std::nullopt, true},
        PeerCase{"PrimaryMember", {1, 1000, helperGroup, {}}, helperGroup, true},
        PeerCase{"SupplementaryMember", {1, 1000, 1000, {27, helperGroup}}, helperGroup, true},
        PeerCase{"Stranger", {1, 1000, 1000, {27, 100}}, helperGroup, false},
        PeerCase{"RootGroupIsNotRoot", {1, 1000, 0, {0}}, helperGroup, false},
        PeerCase{"NoGroupOnTheSystem", {1, 1000, 1000, {helperGroup}}, std::nullopt, false}),
    testing_support::CaseName{});

}  // namespace
}  // namespace quillmere
