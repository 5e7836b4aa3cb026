#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/Files.h"

namespace quillmere::platform {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public testing::Test {
 protected:
  void TearDown() override { fs::remove_all(directory_); }

  std::string path(const std::string& name) const { return directory_ + "/" + name; }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static std::string contentOf(const std::string& file) {
    std::ifstream in{file, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
  }

  std::string directory_ = [] {
    char pattern[] = "/tmp/quillmere-atomic-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
};

TEST_F(AtomicFileTest, PlacesTheBytesWithTheModeAndLeavesNothingElse) {
  const std::string content{"#!\0\xff\n\xC3\xA9 no final line break", 27};
  // A umask that would strip everything shows the mode is set on the descriptor, not by open.
  const mode_t savedMask = ::umask(0777);
  const auto written = writeFileAtomically(directory_, "script.sh", content, 0755);
  ::umask(savedMask);
  ASSERT_TRUE(written) << written.error().describe();
  EXPECT_EQ(contentOf(path("script.sh")), content);
  struct stat status {};
  ASSERT_EQ(::lstat(path("script.sh").c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_EQ(entries(), std::set<std::string>{"script.sh"});
}

TEST_F(AtomicFileTest, EmptyContentGivesAnEmptyFile) {
  ASSERT_TRUE(writeFileAtomically(directory_, "empty.sh", "", 0755));
  EXPECT_EQ(fs::file_size(path("empty.sh")), 0u);
}

// Whatever sits at the final name already (a file, a link to a victim, a dangling link) is left
// exactly as it was, the victim is never written, and no auxiliary file remains.
enum class Planted { File, LinkToVictim, DanglingLink };

class PlantedEntryTest : public AtomicFileTest, public testing::WithParamInterface<Planted> {};

TEST_P(PlantedEntryTest, FailsWithoutWritingThroughIt) {
  const std::string victim = path("victim");
  std::ofstream{victim} << "precious";
  switch (GetParam()) {
    case Planted::File:
      std::ofstream{path("script.sh")} << "planted";
      break;
    case Planted::LinkToVictim:
      fs::create_symlink(victim, path("script.sh"));
      break;
    case Planted::DanglingLink:
      fs::create_symlink(path("nowhere"), path("script.sh"));
      break;
  }
  const std::set<std::string> before = entries();

  const auto written = writeFileAtomically(directory_, "script.sh", "echo owned", 0755);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().what, "write");
  EXPECT_EQ(written.error().number, EEXIST);
  EXPECT_EQ(entries(), before) << "no auxiliary file left, nothing created";
  EXPECT_EQ(contentOf(victim), "precious");
  EXPECT_EQ(fs::is_symlink(path("script.sh")), GetParam() != Planted::File);
  if (GetParam() == Planted::File) {
    EXPECT_EQ(contentOf(path("script.sh")), "planted");
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, PlantedEntryTest,
                         testing::Values(Planted::File, Planted::LinkToVictim,
                                         Planted::DanglingLink),
                         [](const testing::TestParamInfo<Planted>& planted) {
                           switch (planted.param) {
                             case Planted::File:
                               return "File";
                             case Planted::LinkToVictim:
                               return "LinkToVictim";
                             case Planted::DanglingLink:
                               return "DanglingLink";
                           }
                           return "Unknown";
                         });

TEST_F(AtomicFileTest, MissingDirectoryFailsAsAWrite) {
  const auto written = writeFileAtomically(path("missing"), "script.sh", "x", 0755);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().what, "write");
  EXPECT_EQ(written.error().number, ENOENT);
}

}  // namespace
}  // namespace quillmere::platform
