// quillmere-test-stuck-peer SOCKET KIND COUNT: opens COUNT connections to SOCKET, gets each stuck
// in one way, prints "ready" and holds them all until killed. KIND is one of
//   silent  sends nothing at all
//   half    sends the first half of a call and stops
//   unread  sends calls until the helper stops taking them, and never reads a reply
// For "unread" it prints how many bytes the helper took in all. For fault tests only.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Sockets.h"
#include "platform/UniqueFd.h"

namespace {

using quillmere::platform::UniqueFd;

constexpr std::string_view versionCall = "{\"method\":\"com.quillmere.helper.GetVersion\"}";
// Far more than socket buffers hold: reaching it means the helper never stopped reading.
constexpr std::size_t unreadLimit = 256 * 1024 * 1024;

// Sends calls until none has gone out for a while; returns the bytes that went out.
std::size_t sendUntilRefused(int socket) {
  ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
  std::string calls;
  for (int i = 0; i < 1024; ++i) {
    calls += versionCall;
    calls += '\0';
  }
  std::size_t sent = 0;
  std::size_t offset = 0;
  while (sent < unreadLimit) {
    pollfd waiter{socket, POLLOUT, 0};
    if (::poll(&waiter, 1, 500) <= 0) break;
    const ssize_t count =
        ::send(socket, calls.data() + offset, calls.size() - offset, MSG_NOSIGNAL);
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
    offset = (offset + static_cast<std::size_t>(count)) % calls.size();
  }
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::puts("usage: quillmere-test-stuck-peer SOCKET silent|half|unread COUNT");
    return 2;
  }
  const std::string_view kind = argv[2];
  const int count = std::atoi(argv[3]);
  std::vector<UniqueFd> held;
  std::size_t taken = 0;
  for (int i = 0; i < count; ++i) {
    auto connected = quillmere::platform::connectUnixSocket(argv[1]);
    if (!connected) {
      std::puts("cannot connect");
      return 2;
    }
    UniqueFd socket = std::move(connected).value();
    if (kind == "half") {
      const std::string_view half = versionCall.substr(0, versionCall.size() / 2);
      (void)::send(socket.get(), half.data(), half.size(), MSG_NOSIGNAL);
    } else if (kind == "unread") {
      taken += sendUntilRefused(socket.get());
    }
    held.push_back(std::move(socket));
  }
  if (kind == "unread") std::printf("taken %zu\n", taken);
  std::puts("ready");
  std::fflush(stdout);
  while (true) ::pause();
}
