// Apart from the other socket calls: only the daemon listens, and only this needs libsystemd,
// which the client then never loads.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform/Sockets.h"

namespace quillmere::platform {
namespace {

// A failure found without an errno: `what` says it all.
SystemError refusal(std::string what) { return SystemError{0, std::move(what)}; }

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

}  // namespace quillmere::platform
