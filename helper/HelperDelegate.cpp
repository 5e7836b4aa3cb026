#include "helper/HelperDelegate.h"

#include <chrono>
#include <string>
#include <variant>

#include "helper/ConnectionServer.h"
#include "helper/Helper.h"
#include "helper/HelperLog.h"
#include "helper/PeerAccessPolicy.h"
#include "platform/ErrorText.h"
#include "platform/UnixSocket.h"
#include "protocol/HelperNames.h"

namespace quillmere {
namespace {

// How long a refused peer may take to send the call that gets its answer.
constexpr std::chrono::seconds refusalPatience{5};

}  // namespace

void HelperDelegate::serveConnection(platform::UniqueFd connection) {
  ConnectionServer server{connection.get(), logger_};
  const auto credentials = platform::readPeerCredentials(connection.get());
  if (const int* error = std::get_if<int>(&credentials)) {
    logHelperLine(logger_,
                  "Refused connection: cannot identify the peer: " + platform::errorText(*error));
    server.refuse(refusalPatience);
    return;
  }
  const auto& peer = std::get<platform::PeerCredentials>(credentials);
  // Looked up per connection, so a group created after start-up counts; root needs no group,
  // so its connections skip the lookup (a whole NSS query).
  const auto helperGroup = peer.uid == 0 ? std::nullopt : platform::lookupGroup(helperGroupName);
  if (!isPeerAllowed(peer, helperGroup)) {
    logHelperLine(logger_, "Refused connection from uid " + std::to_string(peer.uid) + " (pid " +
                               std::to_string(peer.pid) + ")");
    server.refuse(refusalPatience);
    return;
  }
  Helper helper{logger_, HelperSettings::production(), &wireGuardTurns_,
                [socket = connection.get()] { return platform::peerHasHungUp(socket); }};
  logHelperLine(logger_, "New connection accepted");
  server.serve(helper);
}

}  // namespace quillmere
