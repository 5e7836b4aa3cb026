// quillmere-test-call SOCKET MESSAGE...: sends each JSON message in turn on one connection and
// prints each reply on a line of its own. For tests and demonstrations; the real client is
// quillmere-cli. Exit status: 0 all answered, 2 cannot connect, 3 the connection ended early.

#include <cstdio>
#include <string>

#include "platform/Result.h"
#include "platform/Sockets.h"
#include "protocol/MessageChannel.h"

int main(int argc, char** argv) {
  using namespace quillmere;
  if (argc < 2) {
    std::puts("usage: quillmere-test-call SOCKET MESSAGE...");
    return 2;
  }
  auto connected = platform::connectUnixSocket(argv[1]);
  if (!connected) {
    std::printf("cannot connect: %s\n", platform::errorText(connected.error().number).c_str());
    return 2;
  }
  const auto& socket = *connected;
  varlink::MessageChannel channel{socket.get()};
  for (int i = 2; i < argc; ++i) {
    if (channel.write(argv[i]) != 0) {
      std::puts("connection closed");
      return 3;
    }
    const auto reply = channel.read();
    if (reply.status != varlink::MessageChannel::ReadStatus::Message) {
      std::puts("connection closed");
      return 3;
    }
    std::printf("%s\n", reply.message.c_str());
  }
  return 0;
}
