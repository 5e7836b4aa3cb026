#include "helper/PeerAccessPolicy.h"

#include <algorithm>

namespace quillmere {

bool isPeerAllowed(const platform::PeerCredentials& peer, std::optional<gid_t> helperGroup) {
  if (peer.uid == 0) {
    return true;
  }
  if (!helperGroup) {
    return false;
  }
  return peer.gid == *helperGroup ||
         std::find(peer.supplementaryGroups.begin(), peer.supplementaryGroups.end(),
                   *helperGroup) != peer.supplementaryGroups.end();
}

}  // namespace quillmere
