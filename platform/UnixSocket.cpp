#include "platform/UnixSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace quillmere::platform {

std::variant<UniqueFd, int> connectUnixSocket(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return ENAMETOOLONG;
  }
  std::memcpy(address.sun_path, path.data(), path.size());

  UniqueFd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (!socket.valid()) {
    return errno;
  }
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return errno;
  }
  return socket;
}

bool peerHasHungUp(int socket) {
  // POLLHUP is reported whatever is asked for, and for a Unix stream socket only once both
  // directions are shut: the peer is gone, not merely done sending.
  pollfd probe{socket, 0, 0};
  int ready = 0;
  do {
    ready = ::poll(&probe, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace quillmere::platform
