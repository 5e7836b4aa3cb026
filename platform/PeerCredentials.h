#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmere::platform {

// Who is on the other end of a Unix socket, as the kernel recorded it at connect time.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> supplementaryGroups;
};

// The peer's credentials, or the errno that kept them from being read.
std::variant<PeerCredentials, int> readPeerCredentials(int socket);

// The id of a group by name, or nothing when there is no such group.
std::optional<gid_t> lookupGroup(std::string_view name);

}  // namespace quillmere::platform
