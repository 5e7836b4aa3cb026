#include "platform/Sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmere::platform {
namespace {

// A failure found without an errno: `what` says it all.
SystemError refusal(std::string what) { return SystemError{0, std::move(what)}; }

// The address of `path`, or nothing when the path does not fit in one.
std::optional<sockaddr_un> unixAddress(std::string_view path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

Result<UniqueFd> takePassedSocket(int count) {
  if (count != 1) {
    return refusal("systemd passed " + std::to_string(count) + " sockets, expected one");
  }
  const int fd = SD_LISTEN_FDS_START;
  if (sd_is_socket_unix(fd, SOCK_STREAM, /*listening=*/1, nullptr, 0) <= 0) {
    return refusal("the socket systemd passed is not a listening Unix stream socket");
  }
  // Passed descriptors arrive without close-on-exec; no child may inherit the listener.
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    return lastError("cannot mark the passed socket close-on-exec");
  }
  return UniqueFd{fd};
}

// Clears the way for bind(): nothing there, or a socket file that nobody answers on any more.
Result<void> removeStaleSocket(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return {};
    return lastError("cannot examine " + path);
  }
  if (!S_ISSOCK(status.st_mode)) {
    return refusal(path + " exists and is not a socket");
  }
  auto probe = connectUnixSocket(path);
  if (probe) {
    return refusal("another helper is already listening on " + path);
  }
  if (const int error = probe.error().number; error != ECONNREFUSED) {
    return SystemError{error, "cannot tell whether a helper listens on " + path};
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return lastError("cannot remove the stale socket " + path);
  }
  return {};
}

Result<UniqueFd> bindSocket(const std::string& path, std::optional<gid_t> group) {
  const std::optional<sockaddr_un> address = unixAddress(path);
  if (!address) {
    return refusal("socket path too long: " + path);
  }
  if (auto cleared = removeStaleSocket(path); !cleared) {
    return cleared.error();
  }

  UniqueFd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (!socket.valid()) {
    return lastError("cannot create a socket");
  }
  // Owner-only while the group is not yet set, so nobody else can connect in between. This runs
  // before any thread starts, so changing the process umask briefly is safe.
  const mode_t previousMask = ::umask(0177);
  const int bound =
      ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    return SystemError{bindError, "cannot bind " + path};
  }
  if (group && ::lchown(path.c_str(), 0, *group) != 0) {
    return lastError("cannot give " + path + " to its group");
  }
  if (::chmod(path.c_str(), 0660) != 0) {
    return lastError("cannot set the mode of " + path);
  }
  if (::listen(socket.get(), SOMAXCONN) != 0) {
    return lastError("cannot listen on " + path);
  }
  return socket;
}

}  // namespace

Result<UniqueFd> obtainListeningSocket(const std::string& path, std::optional<gid_t> group) {
  const int passed = sd_listen_fds(/*unset_environment=*/1);
  if (passed < 0) {
    return SystemError{-passed, "cannot read the sockets systemd passed"};
  }
  if (passed > 0) {
    return takePassedSocket(passed);
  }
  return bindSocket(path, group);
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

Result<void> setSendTimeout(int socket, std::chrono::milliseconds timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds.count());
  limit.tv_usec = static_cast<suseconds_t>(micros.count());
  if (::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return lastError("set the send timeout");
  }
  return {};
}

}  // namespace quillmere::platform
