#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "helper/PeerAdmission.h"
#include "platform/Identity.h"
#include "tests/support/CaseName.h"

namespace quillmere {
namespace {

struct SubordinateCase {
  const char* name;
  uid_t uid;
  std::optional<uid_t> owner;
};

class SubordinateIdOwnerTest : public testing::TestWithParam<SubordinateCase> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillmere-subuid-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    // root's own name is always in the user database; the other lines are by number, broken,
    // or name nobody.
    std::ofstream{directory_ + "/subuid"} << "1000:100000:65536\n"
                                             "root:300000:10\n"
                                             "broken line\n"
                                             "2000:x:10\n"
                                             "2000:400000:\n"
                                             "no-such-user-here:500000:10\n"
                                             "4294967295:600000:10\n";
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }
  std::string directory_;
};

TEST_P(SubordinateIdOwnerTest, FindsTheRangeHoldingTheUid) {
  EXPECT_EQ(platform::subordinateIdOwner(GetParam().uid, directory_ + "/subuid"), GetParam().owner);
}

INSTANTIATE_TEST_SUITE_P(Uids, SubordinateIdOwnerTest,
                         testing::Values(SubordinateCase{"FirstOfARange", 100000, 1000},
                                         SubordinateCase{"LastOfARange", 165535, 1000},
                                         SubordinateCase{"JustPastARange", 165536, std::nullopt},
                                         SubordinateCase{"OwnerByName", 300009, 0},
                                         SubordinateCase{"OwnerNobodyKnows", 500001, std::nullopt},
                                         SubordinateCase{"MalformedLinesSkipped", 400001,
                                                         std::nullopt},
                                         SubordinateCase{"NotAnId", 4294967295u, std::nullopt},
                                         SubordinateCase{"InNoRange", 1000, std::nullopt}),
                         testing_support::CaseName{});

TEST(PeerIdentityTest, AMissingSubuidFileHoldsNoRange) {
  EXPECT_EQ(platform::subordinateIdOwner(100000, "/nonexistent/subuid"), std::nullopt);
}

// A child whose login uid is set (as pam_loginuid sets it at login) is counted by it, whatever
// uid it runs as.
TEST(PeerIdentityTest, AProcessIsCountedByItsLoginUid) {
  if (::geteuid() != 0) GTEST_SKIP() << "setting a login uid needs root (CI runs as root)";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::ofstream{"/proc/self/loginuid"} << 4321;
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) std::_Exit(1);
    ::pause();
    std::_Exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const auto login = platform::readLoginUid(child);
  const uid_t counted = countedUser(platform::PeerCredentials{child, 70000, 70000, {}});
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  if (!login) GTEST_SKIP() << "this kernel keeps no login uids (no audit support)";
  EXPECT_EQ(*login, 4321u);
  EXPECT_EQ(counted, 4321u);
  EXPECT_EQ(countedUser(platform::PeerCredentials{child, 70000, 70000, {}}), 70000u)
      << "once the process is gone, its own uid counts";
}

}  // namespace
}  // namespace quillmere
