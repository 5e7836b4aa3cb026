#include "platform/Sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmere::platform {

std::optional<sockaddr_un> unixAddress(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

Result<UniqueFd> acceptConnection(int listeningSocket,
                                  std::optional<std::chrono::milliseconds> patience) {
  if (patience) {
    const auto milliseconds =
        std::clamp<std::chrono::milliseconds::rep>(patience->count(), 0, 1'000'000);
    const auto ready = waitReadable(listeningSocket, static_cast<int>(milliseconds));
    if (!ready) return ready.error();
    if (!*ready) return SystemError{ETIMEDOUT, "accept"};
  }
  const int accepted = ::accept4(listeningSocket, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) return lastError("accept");
  return UniqueFd{accepted};
}

Result<UniqueFd> connectUnixSocket(std::string_view path) {
  const std::optional<sockaddr_un> address = unixAddress(path);
  if (path.empty() || !address) {
    return SystemError{ENAMETOOLONG, "connect"};
  }
  UniqueFd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (!socket.valid()) {
    return lastError("socket");
  }
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    return lastError("connect");
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

Result<bool> waitReadable(int socket, int milliseconds) {
  pollfd waiter{socket, POLLIN, 0};
  const int ready = ::poll(&waiter, 1, milliseconds);
  if (ready < 0) return lastError("poll");
  return ready > 0;
}

Result<std::size_t> receiveSome(int socket, std::span<char> buffer, bool dontWait) {
  const ssize_t received =
      ::recv(socket, buffer.data(), buffer.size(), dontWait ? MSG_DONTWAIT : 0);
  if (received < 0) return lastError("recv");
  return static_cast<std::size_t>(received);
}

Result<std::size_t> sendSome(int socket, std::span<const iovec> pieces) {
  msghdr header{};
  // sendmsg only reads the pieces.
  header.msg_iov = const_cast<iovec*>(pieces.data());
  header.msg_iovlen = pieces.size();
  const ssize_t sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
  if (sent < 0) return lastError("sendmsg");
  return static_cast<std::size_t>(sent);
}

void shutWriting(int socket) { ::shutdown(socket, SHUT_WR); }

namespace {

Result<void> setTimeout(int socket, int option, std::chrono::milliseconds timeout,
                        const char* step) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds.count());
  limit.tv_usec = static_cast<suseconds_t>(micros.count());
  if (::setsockopt(socket, SOL_SOCKET, option, &limit, sizeof limit) != 0) {
    return lastError(step);
  }
  return {};
}

}  // namespace

Result<void> setSendTimeout(int socket, std::chrono::milliseconds timeout) {
  return setTimeout(socket, SO_SNDTIMEO, timeout, "set the send timeout");
}

Result<void> setReceiveTimeout(int socket, std::chrono::milliseconds timeout) {
  return setTimeout(socket, SO_RCVTIMEO, timeout, "set the receive timeout");
}

Result<void> widenSendQueue(int socket, int bytes) {
  if (::setsockopt(socket, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) == 0 ||
      ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0) {
    return {};
  }
  return lastError("set the send buffer size");
}

}  // namespace quillmere::platform
