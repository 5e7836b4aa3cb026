// Whole writes of a text given in pieces: through a pipe that takes far less than the whole at a
// time, so that writes come back short in the middle of a piece and between pieces.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/UniqueFd.h"
#include "tests/support/CaseName.h"

namespace quillmere::platform {
namespace {

constexpr int kPipeBytes = 4096;

// Everything written to the pipe's write end, read on a thread of its own until end of file.
class DrainedPipe {
 public:
  DrainedPipe() {
    std::array<int, 2> ends{};
    EXPECT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    ::fcntl(writeEnd_.get(), F_SETPIPE_SZ, kPipeBytes);
    reader_ = std::thread{[this] {
      std::array<char, 1000> chunk;
      for (ssize_t count; (count = ::read(readEnd_.get(), chunk.data(), chunk.size())) > 0;) {
        received_.append(chunk.data(), static_cast<std::size_t>(count));
      }
    }};
  }
  ~DrainedPipe() {
    if (reader_.joinable()) received();
  }
  DrainedPipe(const DrainedPipe&) = delete;
  DrainedPipe& operator=(const DrainedPipe&) = delete;

  int writeEnd() const { return writeEnd_.get(); }
  const std::string& received() {
    writeEnd_.reset();
    reader_.join();
    return received_;
  }

 private:
  UniqueFd readEnd_;
  UniqueFd writeEnd_;
  std::thread reader_;
  std::string received_;
};

std::string joined(const std::vector<std::string_view>& pieces) {
  std::string whole;
  for (const std::string_view piece : pieces) whole += piece;
  return whole;
}

struct PiecesCase {
  const char* name;
  std::vector<std::string_view> pieces;
};

const std::string kLong = [] {
  std::string text(100'003, '\0');
  for (std::size_t index = 0; index < text.size(); ++index) {
    text[index] = static_cast<char>('a' + index % 23);
  }
  return text;
}();

const std::vector<PiecesCase> kPiecesCases = {
    {"NoPieces", {}},
    {"OnlyEmptyPieces", {"", "", ""}},
    {"LabelTextAndLineBreak", {"SUCCESS: ", kLong, "\n"}},
    {"EmptyPiecesAmongOthers", {"", "head", "", kLong, "", "\n", ""}},
    // More pieces than one writev() takes.
    {"ManyPieces", {"a", "b", "", "c", "d", "e", "f", "g", "h", "i", kLong, "j", "k", "l"}},
    {"OneLongPiece", {kLong}},
};

class WholeWriteTest : public testing::TestWithParam<PiecesCase> {};

TEST_P(WholeWriteTest, EveryPieceArrivesWholeAndInOrder) {
  std::vector<std::string_view> pieces = GetParam().pieces;
  DrainedPipe pipe;
  const auto written = writeWhole(pipe.writeEnd(), pieces);
  ASSERT_TRUE(written) << written.error().describe();
  EXPECT_EQ(pipe.received(), joined(GetParam().pieces));
}

INSTANTIATE_TEST_SUITE_P(Pieces, WholeWriteTest, testing::ValuesIn(kPiecesCases),
                         testing_support::CaseName{});

TEST(WholeWriteFailureTest, AClosedReaderFailsWithBrokenPipe) {
  std::array<int, 2> ends{};
  ASSERT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
  ::close(ends[0]);
  const UniqueFd writeEnd{ends[1]};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &saved), 0);
  std::string_view pieces[] = {"label", "text"};
  const auto written = writeWhole(writeEnd.get(), pieces);
  ::sigaction(SIGPIPE, &saved, nullptr);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().number, EPIPE);
  EXPECT_EQ(written.error().what, "write");
}

}  // namespace
}  // namespace quillmere::platform
