#include "helper/ConnectionAcceptor.h"

#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <variant>

#include "helper/HelperLog.h"
#include "platform/ErrorText.h"
#include "platform/PeerCredentials.h"

namespace quillmere {
namespace {

// accept() failures that pass: the next connection may well succeed.
bool isPassing(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EAGAIN:
    case EPROTO:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

}  // namespace

void ConnectionAcceptor::run() {
  while (true) {
    freeSlots_.acquire();
    const int accepted = ::accept4(listeningSocket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) {
      const int error = errno;
      freeSlots_.release();
      if (!isPassing(error)) {
        logHelperLine(logger_, "Cannot accept connections: " + platform::errorText(error));
        return;
      }
      if (error != EINTR && error != ECONNABORTED) {
        // Out of descriptors or memory: give finishing connections a moment to free some.
        logHelperLine(logger_, "Cannot accept a connection: " + platform::errorText(error));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    platform::UniqueFd connection{accepted};
    if (auto place = admit(connection.get())) {
      startServing(std::move(connection), std::move(*place));
    } else {
      freeSlots_.release();
    }
  }
}

std::optional<ConnectionQuota::Place> ConnectionAcceptor::admit(int connection) {
  const auto credentials = platform::readPeerCredentials(connection);
  if (!std::holds_alternative<platform::PeerCredentials>(credentials)) {
    // Unidentified peers are refused, with the reason, where every peer is checked.
    return ConnectionQuota::Place{};
  }
  const auto& peer = std::get<platform::PeerCredentials>(credentials);
  auto place = quota_.take(peer.uid);
  if (!place) {
    logHelperLine(logger_, "Refused connection from uid " + std::to_string(peer.uid) + " (pid " +
                               std::to_string(peer.pid) + "): too many connections at once");
  }
  return place;
}

void ConnectionAcceptor::startServing(platform::UniqueFd connection, ConnectionQuota::Place place) {
  try {
    std::thread([this, connection = std::move(connection), place = std::move(place)]() mutable {
      // Named, so that `ps -L` (and a test) can tell connections from everything else.
      ::pthread_setname_np(::pthread_self(), connectionThreadName);
      try {
        delegate_.serveConnection(std::move(connection));
      } catch (const std::exception& failure) {
        logHelperLine(logger_, std::string{"Connection failed: "} + failure.what());
      }
      // The user's place first: once the slot is free, a new connection may need it.
      { const auto givenBack = std::move(place); }
      freeSlots_.release();
    }).detach();
  } catch (const std::exception& failure) {
    // No thread, no service: the connection closes and the slot is free again.
    logHelperLine(logger_, std::string{"Cannot serve a connection: "} + failure.what());
    freeSlots_.release();
  }
}

}  // namespace quillmere
