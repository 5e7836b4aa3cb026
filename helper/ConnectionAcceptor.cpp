#include "helper/ConnectionAcceptor.h"

#include <cerrno>
#include <chrono>
#include <exception>
#include <string>
#include <thread>
#include <variant>

#include "helper/HelperLog.h"
#include "platform/Processes.h"
#include "platform/Result.h"
#include "platform/Sockets.h"

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
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

}  // namespace

void ConnectionAcceptor::run() {
  while (true) {
    freeSlots_.acquire();
    auto connection = nextConnection();
    if (!connection) return;
    PeerAdmission::Decision decision = admission_.admit(connection->get());
    if (decision.verdict == PeerAdmission::Verdict::Close) {
      freeSlots_.release();
      continue;
    }
    startServing(std::move(*connection), std::move(decision));
  }
}

std::optional<platform::UniqueFd> ConnectionAcceptor::nextConnection() {
  while (true) {
    // Between connections, the refusal log tells what it left out once its windows close.
    std::optional<std::chrono::milliseconds> patience;
    if (const auto next = admission_.flushRefusals()) {
      patience =
          std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
    }
    auto accepted = platform::acceptConnection(listeningSocket_, patience);
    if (accepted) {
      return std::move(accepted).value();
    }
    const int error = accepted.error().number;
    if (!isPassing(error)) {
      logHelperLine(logger_, "Cannot accept connections: " + platform::errorText(error));
      return std::nullopt;
    }
    if (error != EINTR && error != ECONNABORTED && error != ETIMEDOUT) {
      // Out of descriptors or memory: give finishing connections a moment to free some.
      logHelperLine(logger_, "Cannot accept a connection: " + platform::errorText(error));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void ConnectionAcceptor::startServing(platform::UniqueFd connection,
                                      PeerAdmission::Decision decision) {
  try {
    std::thread([this, connection = std::move(connection),
                 decision = std::move(decision)]() mutable {
      // Named, so that `ps -L` (and a test) can tell connections from everything else.
      platform::nameCurrentThread(connectionThreadName);
      try {
        if (decision.verdict == PeerAdmission::Verdict::Serve) {
          delegate_.serveConnection(std::move(connection));
        } else {
          delegate_.refuseConnection(std::move(connection));
        }
      } catch (const std::exception& failure) {
        logHelperLine(logger_, std::string{"Connection failed: "} + failure.what());
      }
      // The user's place first: once the slot is free, a new connection may need it.
      { const auto givenBack = std::move(decision.place); }
      freeSlots_.release();
    }).detach();
  } catch (const std::exception& failure) {
    // No thread, no service: the connection closes and the slot is free again.
    logHelperLine(logger_, std::string{"Cannot serve a connection: "} + failure.what());
    freeSlots_.release();
  }
}

}  // namespace quillmere
