#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Logger.h"
#include "tests/support/CaseName.h"

namespace quillmere::platform {
namespace {

struct LineCase {
  const char* name;
  std::string message;
  std::string line;
};

class LogLineTest : public testing::TestWithParam<LineCase> {};

TEST_P(LogLineTest, KeepsTextLiteralAndOneLine) {
  EXPECT_EQ(logLine(GetParam().message), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, LogLineTest,
    testing::Values(
        LineCase{"Plain", "Quillmere Helper: Version requested",
                 "Quillmere Helper: Version requested\n"},
        LineCase{"FormatDirectivesStayText", "path %n%s%x %% %1$s", "path %n%s%x %% %1$s\n"},
        LineCase{"LineFeedEscaped", "a\nb\r\nc", "a\\x0ab\\x0d\\x0ac\n"},
        LineCase{"NulAndEscapeEscaped", std::string{"a\0b\x1b\x7f", 5}, "a\\x00b\\x1b\\x7f\n"},
        LineCase{"TabKept", "a\tb", "a\tb\n"},
        LineCase{"Utf8Kept", "caf\xc3\xa9 \xe2\x80\xa8", "caf\xc3\xa9 \xe2\x80\xa8\n"},
        LineCase{"InvalidUtf8KeptAsBytes", "\xff\xfe", "\xff\xfe\n"}, LineCase{"Empty", "", "\n"}),
    testing_support::CaseName{});

// Redirects standard error to a file for the length of a test.
class StderrCapture {
 public:
  StderrCapture() : path_(testing::TempDir() + "stderr-capture.log") {
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    FILE* file = std::fopen(path_.c_str(), "w");
    ::dup2(::fileno(file), STDERR_FILENO);
    std::fclose(file);
  }
  ~StderrCapture() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    std::remove(path_.c_str());
  }
  std::vector<std::string> lines() const {
    std::ifstream file{path_};
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      lines.push_back(line);
    }
    return lines;
  }

 private:
  std::string path_;
  int saved_ = -1;
};

TEST(StderrLoggerTest, LinesFromManyThreadsNeverInterleave) {
  StderrCapture capture;
  StderrLogger logger;
  constexpr int threads = 8;
  constexpr int linesPerThread = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&logger, t] {
      const std::string message = "thread " + std::to_string(t) + " " + std::string(300, 'x');
      for (int i = 0; i < linesPerThread; ++i) {
        logger.log(message);
      }
    });
  }
  for (auto& writer : writers) {
    writer.join();
  }
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), std::size_t{threads * linesPerThread});
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), 309u) << line;
    ASSERT_EQ(line.find_first_not_of('x', 9), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace quillmere::platform
