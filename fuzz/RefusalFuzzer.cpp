// A refused peer: the input is everything it sends. The real refusal runs on one end of a socket
// pair; the input goes in at the other end, which is then shut down. Whatever the bytes, the peer
// gets at most one PermissionDenied, exactly when its first message ended within the limit, reads
// it before an orderly end, and the daemon logs nothing and always hangs up.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "fuzz/PeerExchange.h"
#include "helper/ConnectionServer.h"
#include "platform/Logger.h"
#include "platform/UniqueFd.h"
#include "protocol/MessageCodec.h"
#include "protocol/VarlinkInterface.h"

namespace quillmere::fuzzing {
namespace {

// Small enough for inputs to reach it; the refusal does not depend on the figure.
constexpr std::size_t messageLimit = 512;
// Never reached: the peer always shuts its side down, and that ends the refusal.
constexpr std::chrono::seconds patience{30};

class CountingLogger final : public platform::Logger {
 public:
  void log(std::string_view) override { ++lines; }
  int lines = 0;
};

void refuseAndCheck(std::string_view input) {
  static ServingThread serving;
  CountingLogger logger;

  int ends[2];
  require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
  const platform::UniqueFd peer{ends[0]};
  serving.start([&logger, end = ends[1]] {
    const platform::UniqueFd connection{end};
    ConnectionServer{connection.get(), logger, messageLimit}.refuse(patience);
  });
  int endError = 0;
  const std::string received = exchange(peer.get(), input, &endError);
  serving.finish();

  static const std::string denial =
      varlink::encodeReply(varlink::errorReply(varlink::error::permissionDenied)).text() + '\0';
  const std::size_t terminator = input.find('\0');
  const bool firstMessageEnded = terminator != std::string_view::npos && terminator <= messageLimit;
  require(received == (firstMessageEnded ? denial : ""),
          "one PermissionDenied when the first message ended within the limit, else nothing");
  if (firstMessageEnded && input.size() - terminator - 1 <= messageLimit) {
    require(endError == 0, "the answer is followed by an orderly end");
  }
  require(logger.lines == 0, "a refusal logs nothing of its own");
}

}  // namespace
}  // namespace quillmere::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzzing::refuseAndCheck(std::string_view{reinterpret_cast<const char*>(data), size});
  return 0;
}
