#include "platform/ListeningSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ErrorText.h"
#include "platform/UnixSocket.h"

namespace quillmere::platform {
namespace {

ListenFailure failure(const std::string& what, int errorNumber) {
  return ListenFailure{what + ": " + errorText(errorNumber)};
}

std::variant<UniqueFd, ListenFailure> takePassedSocket(int count) {
  if (count != 1) {
    return ListenFailure{"systemd passed " + std::to_string(count) + " sockets, expected one"};
  }
  const int fd = SD_LISTEN_FDS_START;
  if (sd_is_socket_unix(fd, SOCK_STREAM, /*listening=*/1, nullptr, 0) <= 0) {
    return ListenFailure{"the socket systemd passed is not a listening Unix stream socket"};
  }
  // Passed descriptors arrive without close-on-exec; no child may inherit the listener.
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    return failure("cannot mark the passed socket close-on-exec", errno);
  }
  return UniqueFd{fd};
}

// Clears the way for bind(): nothing there, or a socket file that nobody answers on any more.
std::optional<ListenFailure> removeStaleSocket(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? std::nullopt : std::optional{failure("cannot examine " + path, errno)};
  }
  if (!S_ISSOCK(status.st_mode)) {
    return ListenFailure{path + " exists and is not a socket"};
  }
  auto probe = connectUnixSocket(path);
  if (std::holds_alternative<UniqueFd>(probe)) {
    return ListenFailure{"another helper is already listening on " + path};
  }
  if (const int error = std::get<int>(probe); error != ECONNREFUSED) {
    return failure("cannot tell whether a helper listens on " + path, error);
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return failure("cannot remove the stale socket " + path, errno);
  }
  return std::nullopt;
}

std::variant<UniqueFd, ListenFailure> bindSocket(const std::string& path,
                                                 std::optional<gid_t> group) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return ListenFailure{"socket path too long: " + path};
  }
  std::memcpy(address.sun_path, path.c_str(), path.size());
  if (auto blocked = removeStaleSocket(path)) {
    return *blocked;
  }

  UniqueFd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (!socket.valid()) {
    return failure("cannot create a socket", errno);
  }
  // Owner-only while the group is not yet set, so nobody else can connect in between. This runs
  // before any thread starts, so changing the process umask briefly is safe.
  const mode_t previousMask = ::umask(0177);
  const int bound =
      ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    return failure("cannot bind " + path, bindError);
  }
  if (group && ::lchown(path.c_str(), 0, *group) != 0) {
    return failure("cannot give " + path + " to its group", errno);
  }
  if (::chmod(path.c_str(), 0660) != 0) {
    return failure("cannot set the mode of " + path, errno);
  }
  if (::listen(socket.get(), SOMAXCONN) != 0) {
    return failure("cannot listen on " + path, errno);
  }
  return socket;
}

}  // namespace

std::variant<UniqueFd, ListenFailure> obtainListeningSocket(const std::string& path,
                                                            std::optional<gid_t> group) {
  const int passed = sd_listen_fds(/*unset_environment=*/1);
  if (passed < 0) {
    return failure("cannot read the sockets systemd passed", -passed);
  }
  if (passed > 0) {
    return takePassedSocket(passed);
  }
  return bindSocket(path, group);
}

std::variant<UniqueFd, int> acceptConnection(int listeningSocket,
                                             std::optional<std::chrono::milliseconds> patience) {
  if (patience) {
    pollfd waiter{listeningSocket, POLLIN, 0};
    const auto milliseconds =
        std::clamp<std::chrono::milliseconds::rep>(patience->count(), 0, 1'000'000);
    const int ready = ::poll(&waiter, 1, static_cast<int>(milliseconds));
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
  }
  const int accepted = ::accept4(listeningSocket, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) return errno;
  return UniqueFd{accepted};
}

}  // namespace quillmere::platform
