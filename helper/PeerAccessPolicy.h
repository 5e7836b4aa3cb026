#pragma once

#include <sys/types.h>

#include <optional>

#include "platform/Identity.h"

namespace quillmere {

// Root may always use the helper; anyone else only as a member of the helper's group, by primary
// or supplementary membership. Without such a group, only root.
bool isPeerAllowed(const platform::PeerCredentials& peer, std::optional<gid_t> helperGroup);

}  // namespace quillmere
