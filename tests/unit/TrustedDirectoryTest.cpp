#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Files.h"
#include "tests/support/CaseName.h"

namespace quillmere::platform {
namespace {

namespace fs = std::filesystem;

struct DirectoryCase {
  const char* name;
  mode_t parentMode;
  mode_t mode;
  bool trusted;
};

class TrustedDirectoryTest : public testing::TestWithParam<DirectoryCase> {
 protected:
  void TearDown() override { fs::remove_all(base_); }

  // base_/parent/directory, with the modes asked for (umask aside).
  std::string makeDirectories(mode_t parentMode, mode_t mode) {
    const std::string parent = base_ + "/parent";
    const std::string directory = parent + "/directory";
    fs::create_directory(parent);
    fs::create_directory(directory);
    ::chmod(directory.c_str(), mode);
    ::chmod(parent.c_str(), parentMode);
    return directory;
  }

  std::string base_ = [] {
    char pattern[] = "/tmp/quillmere-trust-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
};

TEST_P(TrustedDirectoryTest, JudgesEveryDirectoryOnThePath) {
  const DirectoryCase& c = GetParam();
  const std::string directory = makeDirectories(c.parentMode, c.mode);
  const auto reason = untrustedDirectoryReason(directory);
  EXPECT_EQ(!reason.has_value(), c.trusted) << reason.value_or("trusted");
  // Through a link the resolved path is judged, not the link.
  const std::string link = base_ + "/link";
  fs::create_directory_symlink(directory, link);
  EXPECT_EQ(!untrustedDirectoryReason(link).has_value(), c.trusted);
}

INSTANTIATE_TEST_SUITE_P(Modes, TrustedDirectoryTest,
                         testing::Values(DirectoryCase{"Private", 0700, 0700, true},
                                         DirectoryCase{"ReadableByAll", 0755, 0755, true},
                                         DirectoryCase{"StickyAndWritableByAll", 0755, 01777, true},
                                         DirectoryCase{"WritableByAll", 0755, 0777, false},
                                         DirectoryCase{"WritableByGroup", 0755, 0770, false},
                                         DirectoryCase{"UnderAParentWritableByAll", 0777, 0700,
                                                       false},
                                         DirectoryCase{"UnderAStickyParent", 01777, 0700, true}),
                         testing_support::CaseName{});

TEST(TrustedDirectory, TheReasonNamesTheDirectoryAtFault) {
  char pattern[] = "/tmp/quillmere-trust-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  ::chmod(directory.c_str(), 0777);
  EXPECT_EQ(untrustedDirectoryReason(directory),
            directory + " is writable by other users and not sticky");
  fs::remove_all(directory);
}

TEST(TrustedDirectory, ADirectoryOfAnotherUserIsNotTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a directory to another user";
  char pattern[] = "/tmp/quillmere-trust-XXXXXX";
  const std::string directory = ::mkdtemp(pattern);
  ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
  EXPECT_EQ(untrustedDirectoryReason(directory), directory + " belongs to uid 65534");
  fs::remove_all(directory);
}

TEST(TrustedDirectory, AMissingDirectoryIsLeftToTheWriteToReport) {
  EXPECT_EQ(untrustedDirectoryReason("/nonexistent/quillmere"), std::nullopt);
}

}  // namespace
}  // namespace quillmere::platform
