#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"
#include "protocol/MessageChannel.h"

namespace quillmere::varlink {
namespace {

using Status = MessageChannel::ReadStatus;
using platform::UniqueFd;

class MessageChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    near_.reset(fds[0]);
    far_.reset(fds[1]);
  }
  void sendRaw(std::string_view bytes) {
    ASSERT_EQ(::send(far_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  UniqueFd near_;
  UniqueFd far_;
};

TEST_F(MessageChannelTest, CarriesMessagesBothWays) {
  MessageChannel near{near_.get()};
  MessageChannel far{far_.get()};
  ASSERT_EQ(near.write("{\"a\":1}"), 0);
  ASSERT_EQ(near.write(""), 0);
  auto first = far.read();
  auto second = far.read();
  EXPECT_EQ(first.status, Status::Message);
  EXPECT_EQ(first.message, "{\"a\":1}");
  EXPECT_EQ(second.status, Status::Message);
  EXPECT_EQ(second.message, "");
}

TEST_F(MessageChannelTest, CarriesAMessageLargerThanTheSocketBuffer) {
  const std::string big(12 * 1024 * 1024, 'x');
  std::thread writer([&] { EXPECT_EQ(MessageChannel{far_.get()}.write(big), 0); });
  const auto result = MessageChannel{near_.get()}.read();
  writer.join();
  EXPECT_EQ(result.status, Status::Message);
  EXPECT_EQ(result.message.size(), big.size());
}

TEST_F(MessageChannelTest, CarriesAReplyWrittenAsItIsEncoded) {
  const Reply reply{
      std::nullopt,
      commandResultParameters({true, std::string(12 * 1024 * 1024, 'x') + "\n", std::nullopt}),
      false};
  std::thread writer([&] { EXPECT_EQ(MessageChannel{far_.get()}.write(encodeReply(reply)), 0); });
  MessageChannel channel{near_.get(), std::size_t{64} * 1024 * 1024};
  const auto result = channel.read();
  writer.join();
  ASSERT_EQ(result.status, Status::Message);
  EXPECT_EQ(result.message, encodeReply(reply).text());
  far_.reset();
  EXPECT_EQ(channel.read().status, Status::EndOfStream);
}

int sendQueueBytes(int socket) {
  int bytes = 0;
  socklen_t length = sizeof bytes;
  return ::getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, &length) == 0 ? bytes : -1;
}

// A reply of many pieces gets a longer send queue, so that the reader takes whole pieces; a short
// one leaves the socket as it was.
TEST_F(MessageChannelTest, WidensTheSendQueueForALongReplyOnly) {
  const int usual = sendQueueBytes(far_.get());
  ASSERT_GT(usual, 0);
  const auto replyOf = [](std::size_t bytes) {
    return Reply{std::nullopt,
                 commandResultParameters({true, std::string(bytes, 'x'), std::nullopt}), false};
  };
  ASSERT_EQ(MessageChannel{far_.get()}.write(encodeReply(replyOf(1000))), 0);
  ASSERT_EQ(MessageChannel{near_.get()}.read().status, Status::Message);
  EXPECT_EQ(sendQueueBytes(far_.get()), usual);

  std::thread writer([&] {
    EXPECT_EQ(MessageChannel{far_.get()}.write(encodeReply(replyOf(8 * 1024 * 1024))), 0);
  });
  const auto result = MessageChannel{near_.get(), std::size_t{64} * 1024 * 1024}.read();
  writer.join();
  ASSERT_EQ(result.status, Status::Message);
  EXPECT_GT(sendQueueBytes(far_.get()), usual);
}

TEST_F(MessageChannelTest, TellsACleanEndFromAHangUpInsideAMessage) {
  sendRaw(std::string_view{"{}\0{\"half", 9});
  far_.reset();
  MessageChannel channel{near_.get()};
  EXPECT_EQ(channel.read().status, Status::Message);
  EXPECT_EQ(channel.read().status, Status::Truncated);

  SetUp();
  sendRaw(std::string_view{"{}\0", 3});
  far_.reset();
  MessageChannel clean{near_.get()};
  EXPECT_EQ(clean.read().status, Status::Message);
  EXPECT_EQ(clean.read().status, Status::EndOfStream);
}

TEST_F(MessageChannelTest, WaitsWithoutDeadlineOnASocketThatDoesNotBlock) {
  ASSERT_EQ(::fcntl(near_.get(), F_SETFL, O_NONBLOCK), 0);
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sendRaw(std::string_view{"{}\0", 3});
  });
  const auto result = MessageChannel{near_.get()}.read();
  writer.join();
  EXPECT_EQ(result.status, Status::Message);
  EXPECT_EQ(result.message, "{}");
}

TEST_F(MessageChannelTest, GivesUpAtTheDeadline) {
  sendRaw("{\"incomplete");
  MessageChannel channel{near_.get()};
  const auto result =
      channel.read(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
  EXPECT_EQ(result.status, Status::TimedOut);
}

// A channel that waits in the receive itself, bounded by the socket's own time-out: that bound
// never ends a wait early, and never stretches one past its deadline.
struct ReceiveLimitCase {
  const char* name;
  std::chrono::milliseconds limit;
  std::optional<std::chrono::milliseconds> sentAfter;  // the message's end; nothing: never
  std::optional<std::chrono::milliseconds> deadline;
  Status expected;
};

void PrintTo(const ReceiveLimitCase& limitCase, std::ostream* out) { *out << limitCase.name; }

class ReceiveLimitTest : public MessageChannelTest,
                         public testing::WithParamInterface<ReceiveLimitCase> {};

TEST_P(ReceiveLimitTest, EndsAtTheDeadlineOrTheMessage) {
  using namespace std::chrono_literals;
  const ReceiveLimitCase& limitCase = GetParam();
  sendRaw("{\"begun\":");
  std::thread writer([this, &limitCase] {
    if (!limitCase.sentAfter) return;
    std::this_thread::sleep_for(*limitCase.sentAfter);
    sendRaw(std::string_view{"1}\0", 3});
  });
  MessageChannel channel{near_.get()};
  channel.waitInReceiveUpTo(limitCase.limit);
  const auto start = std::chrono::steady_clock::now();
  const auto result = channel.read(
      limitCase.deadline ? MessageChannel::Deadline{start + *limitCase.deadline} : std::nullopt);
  const auto waited = std::chrono::steady_clock::now() - start;
  writer.join();
  EXPECT_EQ(result.status, limitCase.expected);
  if (limitCase.expected == Status::Message) {
    EXPECT_EQ(result.message, "{\"begun\":1}");
  } else {
    EXPECT_GE(waited, *limitCase.deadline);
    // Not held in the receive for the socket's whole time-out when the deadline came first.
    EXPECT_LT(waited, *limitCase.deadline + limitCase.limit);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, ReceiveLimitTest,
    testing::Values(
        ReceiveLimitCase{"DeadlineLongerThanTheSocketTimeOut", std::chrono::milliseconds(20),
                         std::nullopt, std::chrono::milliseconds(150), Status::TimedOut},
        ReceiveLimitCase{"DeadlineShorterThanTheSocketTimeOut", std::chrono::milliseconds(5000),
                         std::nullopt, std::chrono::milliseconds(50), Status::TimedOut},
        ReceiveLimitCase{"MessageEndsAfterTheSocketTimeOut", std::chrono::milliseconds(20),
                         std::chrono::milliseconds(100), std::chrono::milliseconds(10'000),
                         Status::Message},
        ReceiveLimitCase{"NoDeadline", std::chrono::milliseconds(20),
                         std::chrono::milliseconds(100), std::nullopt, Status::Message}),
    [](const testing::TestParamInfo<ReceiveLimitCase>& test) { return test.param.name; });

TEST_F(MessageChannelTest, StopsReadingAnOversizedMessageEarly) {
  // The peer keeps sending; the reader gives up once past the limit instead of taking it all.
  std::thread writer([fd = far_.get()] {
    const std::string piece(64 * 1024, 'x');
    for (int i = 0; i < 1024; ++i) {
      if (::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) {
        return;
      }
    }
  });
  MessageChannel channel{near_.get(), 1024 * 1024};
  EXPECT_EQ(channel.read().status, Status::Oversized);
  near_.reset();
  writer.join();
}

TEST_F(MessageChannelTest, WriteToAGonePeerFailsWithoutSignal) {
  far_.reset();
  EXPECT_EQ(MessageChannel{near_.get()}.write("{}"), EPIPE);
}

}  // namespace
}  // namespace quillmere::varlink
