#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "protocol/MessageFramer.h"

namespace quillmere::varlink {
namespace {

std::vector<std::string> drain(MessageFramer& framer) {
  std::vector<std::string> messages;
  while (auto message = framer.next()) {
    messages.push_back(std::move(*message));
  }
  return messages;
}

TEST(MessageFramerTest, SplitsSeveralMessagesInOneRead) {
  MessageFramer framer;
  framer.append(std::string_view{"{\"a\":1}\0{}\0\0{\"b\"", 16});
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"{\"a\":1}", "{}", ""}));
  EXPECT_EQ(framer.pending(), 4u);
  framer.append(std::string_view{":2}\0", 4});
  EXPECT_EQ(drain(framer), (std::vector<std::string>{"{\"b\":2}"}));
  EXPECT_EQ(framer.pending(), 0u);
}

TEST(MessageFramerTest, JoinsAMessageSplitAcrossReadsByteByByte) {
  const std::string stream = std::string{"{\"method\":\"a.B\"}"} + '\0' + "{}" + '\0';
  MessageFramer framer;
  std::vector<std::string> messages;
  for (const char c : stream) {
    framer.append(std::string_view{&c, 1});
    for (auto& message : drain(framer)) {
      messages.push_back(message);
    }
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"{\"method\":\"a.B\"}", "{}"}));
}

TEST(MessageFramerTest, AcceptsAMessageOfExactlyTheLimit) {
  MessageFramer framer{8};
  framer.append(std::string(8, 'x') + '\0');
  EXPECT_EQ(framer.next(), std::string(8, 'x'));
  EXPECT_FALSE(framer.oversized());
}

// The figure itself; the boundary logic is the same for every limit (and fuzzed).
TEST(MessageFramerTest, TheProtocolLimitIsSixteenMebibytes) {
  const std::string largest(std::size_t{16} * 1024 * 1024, 'x');
  MessageFramer framer;
  framer.append(largest + '\0');
  EXPECT_EQ(framer.next(), largest);
  framer.append(largest + 'x');
  EXPECT_FALSE(framer.next());
  EXPECT_TRUE(framer.oversized());
}

TEST(MessageFramerTest, RefusesAnUnterminatedMessageOnceItPassesTheLimit) {
  MessageFramer framer{8};
  framer.append(std::string(8, 'x'));
  EXPECT_FALSE(framer.next());
  EXPECT_FALSE(framer.oversized()) << "still within the limit";
  framer.append("x");
  EXPECT_FALSE(framer.next());
  EXPECT_TRUE(framer.oversized());
}

TEST(MessageFramerTest, RefusesATerminatedMessageOverTheLimitButKeepsEarlierOnes) {
  MessageFramer framer{8};
  framer.append(std::string{"ok"} + '\0' + std::string(9, 'x') + '\0' + "{}" + '\0');
  EXPECT_EQ(framer.next(), "ok");
  EXPECT_FALSE(framer.next());
  EXPECT_TRUE(framer.oversized());
}

// A message that fills most of the buffer is handed over rather than copied; what follows it
// stays for the next one, through as many reads as it takes.
TEST(MessageFramerTest, AMessageFillingTheBufferKeepsWhatFollows) {
  MessageFramer framer{1000};
  const std::string large(1000, 'x');
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1100}}) {
    const std::string stream = large + '\0' + "{}" + '\0' + "{\"a\"";
    std::vector<std::string> messages;
    for (std::size_t offset = 0; offset < stream.size(); offset += piece) {
      framer.append(std::string_view{stream}.substr(offset, piece));
      for (auto& message : drain(framer)) messages.push_back(std::move(message));
    }
    EXPECT_EQ(messages, (std::vector<std::string>{large, "{}"})) << "pieces of " << piece;
    EXPECT_EQ(framer.pending(), 4u);
    framer.append(std::string_view{"}\0", 2});
    EXPECT_EQ(drain(framer), (std::vector<std::string>{"{\"a\"}"}));
  }
}

// Bytes received straight into the framer's room frame as appended ones do, whether a read fills
// its room or not, for a framer without a limit past the protocol's limit too.
TEST(MessageFramerTest, FramesBytesReceivedIntoItsRoom) {
  const std::size_t large = maxMessageSize + 3 * 1024 * 1024 + 5;
  std::string stream = std::string{"{}"} + '\0';
  for (std::size_t index = 0; index < large; ++index) {
    stream += static_cast<char>('a' + index % 26);
  }
  stream += '\0';
  stream += std::string{"{\"b\"}"} + '\0' + "{";
  MessageFramer framer{std::numeric_limits<std::size_t>::max()};
  std::vector<std::string> messages;
  for (std::size_t offset = 0, read = 0; offset < stream.size(); ++read) {
    const std::span<char> room = framer.room(read % 2 == 0 ? 1024 * 1024 : 7);
    const std::size_t count = std::min({room.size() - read % 3, stream.size() - offset});
    std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(offset), count, room.begin());
    framer.received(count);
    offset += count;
    for (auto& message : drain(framer)) messages.push_back(std::move(message));
  }
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], "{}");
  EXPECT_EQ(messages[1], stream.substr(3, large));
  EXPECT_EQ(messages[2], "{\"b\"}");
  EXPECT_EQ(framer.pending(), 1u);
}

TEST(MessageFramerTest, StaysCorrectAcrossManyPartialMessages) {
  MessageFramer framer;
  for (int i = 0; i < 10000; ++i) {
    framer.append(std::string(100, 'x') + '\0' + "y");
    ASSERT_EQ(framer.next(), std::string(100, 'x'));
    ASSERT_FALSE(framer.next());
    framer.append(std::string_view{"\0", 1});
    ASSERT_EQ(framer.next(), "y");
  }
  EXPECT_EQ(framer.pending(), 0u);
}

}  // namespace
}  // namespace quillmere::varlink
