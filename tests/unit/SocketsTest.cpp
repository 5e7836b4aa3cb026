#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "platform/Sockets.h"
#include "tests/support/CaseName.h"

namespace quillmere::platform {
namespace {

namespace fs = std::filesystem;

// What makes binding fail, and the reason as the daemon logs it after "Cannot listen: ".
struct ListenCase {
  const char* name;
  std::string (*prepare)(const std::string& directory);
  std::string (*reason)(const std::string& path);
};

void PrintTo(const ListenCase& listenCase, std::ostream* out) { *out << listenCase.name; }

class ListenFailureTest : public testing::TestWithParam<ListenCase> {
 protected:
  void TearDown() override { fs::remove_all(directory_); }

  std::string directory_ = [] {
    char pattern[] = "/tmp/quillmere-sockets-XXXXXX";
    return std::string{::mkdtemp(pattern)};
  }();
};

TEST_P(ListenFailureTest, SaysWhyInOneLine) {
  const std::string path = GetParam().prepare(directory_);
  const auto listening = obtainListeningSocket(path, std::nullopt);
  ASSERT_FALSE(listening) << "listening on " << path;
  EXPECT_EQ(listening.error().describe(), GetParam().reason(path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListenFailureTest,
    testing::Values(
        ListenCase{
            "PathTooLong",
            [](const std::string& directory) { return directory + "/" + std::string(120, 's'); },
            [](const std::string& path) { return "socket path too long: " + path; }},
        ListenCase{"MissingDirectory",
                   [](const std::string& directory) { return directory + "/missing/helper.sock"; },
                   [](const std::string& path) {
                     return "cannot bind " + path + ": No such file or directory";
                   }},
        ListenCase{"RegularFile",
                   [](const std::string& directory) {
                     const std::string path = directory + "/helper.sock";
                     std::ofstream{path} << "not a socket";
                     return path;
                   },
                   [](const std::string& path) { return path + " exists and is not a socket"; }}),
    testing_support::CaseName{});

TEST(ConnectUnixSocketTest, RefusesAPathNoAddressCanHold) {
  for (const std::string& path : {std::string{}, std::string(200, 'x')}) {
    const auto connected = connectUnixSocket(path);
    ASSERT_FALSE(connected);
    EXPECT_EQ(connected.error().number, ENAMETOOLONG);
  }
}

}  // namespace
}  // namespace quillmere::platform
