#include "helper/PeerAdmission.h"

#include <string>
#include <variant>

#include "helper/PeerAccessPolicy.h"
#include "platform/Result.h"
#include "protocol/HelperNames.h"

namespace quillmere {

uid_t countedUser(const platform::PeerCredentials& peer) {
  // Descendants of a root login keep login uid 0 under any user: count those by their own uid.
  if (const auto login = platform::readLoginUid(peer.pid); login && *login != 0) return *login;
  if (const auto owner = platform::subordinateIdOwner(peer.uid)) return *owner;
  return peer.uid;
}

PeerAdmission::Decision PeerAdmission::admit(int connection) {
  const auto credentials = platform::readPeerCredentials(connection);
  if (!credentials) {
    refusals_.refuse(RefusalLog::unidentified, "Refused connection: cannot identify the peer: " +
                                                   platform::errorText(credentials.error().number));
    return {Verdict::Deny, {}};
  }
  const auto& peer = *credentials;
  if (peer.uid == 0) return {Verdict::Serve, {}};

  const std::string who = "Refused connection from uid " + std::to_string(peer.uid) + " (pid " +
                          std::to_string(peer.pid) + ")";
  const uid_t user = countedUser(peer);
  auto place = quota_.take(user);
  if (!place) {
    refusals_.refuse(user, who + ": too many connections at once");
    return {Verdict::Close, {}};
  }
  // Looked up per connection, so that a group created after start-up counts.
  if (!isPeerAllowed(peer, platform::lookupGroup(helperGroupName))) {
    refusals_.refuse(user, who);
    return {Verdict::Deny, std::move(*place)};
  }
  return {Verdict::Serve, std::move(*place)};
}

}  // namespace quillmere
