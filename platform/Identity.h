#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <vector>

#include "platform/Result.h"

namespace quillmere::platform {

// Who is on the other end of a Unix socket, as the kernel recorded it at connect time.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> supplementaryGroups;
};

// The peer's credentials, or the errno that kept them from being read.
Result<PeerCredentials> readPeerCredentials(int socket);

// The login uid the kernel keeps for `pid` (the user whose login session it descends from, kept
// across setuid and user namespaces), or nothing when it is unset or cannot be read.
std::optional<uid_t> readLoginUid(pid_t pid);

// The user to whom `uid` is given as a subordinate id in `subuidFile` (lines "user:first:count",
// user by name or number), or nothing when no range holds it.
std::optional<uid_t> subordinateIdOwner(uid_t uid, std::string_view subuidFile = "/etc/subuid");

// The id of a group by name, or nothing when there is no such group.
std::optional<gid_t> lookupGroup(std::string_view name);

}  // namespace quillmere::platform
