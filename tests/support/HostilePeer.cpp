#include "tests/support/HostilePeer.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/HelperNames.h"

namespace quillmere::testing_support {
namespace {

// Sends and receives at once, so that a daemon that answers early or stops reading cannot
// stall the exchange.
PeerExchange exchange(int socket, std::string_view bytes) {
  PeerExchange result;
  result.connected = true;
  ::fcntl(socket, F_SETFL, O_NONBLOCK);
  bool sending = true;
  if (bytes.empty()) {
    ::shutdown(socket, SHUT_WR);
    sending = false;
  }
  std::array<char, 65536> chunk;
  while (true) {
    pollfd waiter{socket, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&waiter, 1, 60'000) <= 0) {
      result.receiveError = ETIMEDOUT;
      return result;
    }
    if (sending && (waiter.revents & POLLOUT) != 0) {
      const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent >= 0) {
        bytes.remove_prefix(static_cast<std::size_t>(sent));
      } else if (errno != EAGAIN && errno != EINTR) {
        result.sendError = errno;
      }
      if (result.sendError != 0 || bytes.empty()) {
        ::shutdown(socket, SHUT_WR);
        sending = false;
      }
    }
    const ssize_t got = ::recv(socket, chunk.data(), chunk.size(), 0);
    if (got > 0) {
      result.received.append(chunk.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
      return result;
    } else if (errno != EAGAIN && errno != EINTR) {
      result.receiveError = errno;
      return result;
    }
  }
}

int connectInside(const SandboxedHelper& sandbox, const PeerIdentity& peer) {
  const int space = ::open(sandbox.namespacePath("mnt").c_str(), O_RDONLY | O_CLOEXEC);
  if (space < 0 || ::setns(space, CLONE_NEWNS) != 0) {
    return -1;
  }
  const auto gid = static_cast<gid_t>(peer.group.value_or(peer.uid));
  const gid_t groups[] = {gid};
  if (::setgroups(peer.group ? 1 : 0, groups) != 0 || ::setresgid(gid, gid, gid) != 0 ||
      ::setresuid(static_cast<uid_t>(peer.uid), static_cast<uid_t>(peer.uid),
                  static_cast<uid_t>(peer.uid)) != 0) {
    return -1;
  }
  const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, helperSocketPath.data(), sizeof address.sun_path - 1);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return -1;
  }
  return socket;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

PeerExchange exchangeAs(const SandboxedHelper& sandbox, const PeerIdentity& peer,
                        std::string_view bytes) {
  int link[2];
  if (::pipe2(link, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(link[0]);
    const int socket = connectInside(sandbox, peer);
    if (socket < 0) {
      ::_exit(2);
    }
    const PeerExchange result = exchange(socket, bytes);
    const std::array<int, 2> errors{result.sendError, result.receiveError};
    const bool told =
        writeAll(link[1], {reinterpret_cast<const char*>(errors.data()), sizeof errors}) &&
        writeAll(link[1], result.received);
    ::_exit(told ? 0 : 3);
  }
  ::close(link[1]);
  std::string told;
  std::array<char, 65536> chunk;
  for (ssize_t got; (got = ::read(link[0], chunk.data(), chunk.size())) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    told.append(chunk.data(), static_cast<std::size_t>(got));
  }
  ::close(link[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  PeerExchange result;
  std::array<int, 2> errors{};
  if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || told.size() < sizeof errors) {
    return result;
  }
  std::memcpy(errors.data(), told.data(), sizeof errors);
  result.connected = true;
  result.sendError = errors[0];
  result.receiveError = errors[1];
  result.received = told.substr(sizeof errors);
  return result;
}

std::string arrayOfEmptyObjects(std::size_t bytes) {
  std::string text = "[{}";
  text.reserve(bytes);
  while (text.size() + 4 <= bytes) text += ",{}";
  text.append(bytes - 1 - text.size(), ' ');
  return text + "]";
}

std::vector<std::string> splitMessages(std::string_view received) {
  std::vector<std::string> messages;
  while (!received.empty()) {
    const std::size_t terminator = received.find('\0');
    if (terminator == std::string_view::npos) {
      messages.emplace_back(received);
      break;
    }
    messages.emplace_back(received.substr(0, terminator));
    received.remove_prefix(terminator + 1);
  }
  return messages;
}

}  // namespace quillmere::testing_support
