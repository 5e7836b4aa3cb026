#include "platform/PeerCredentials.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillmere::platform {

std::variant<PeerCredentials, int> readPeerCredentials(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return errno;
  }
  PeerCredentials peer{credentials.pid, credentials.uid, credentials.gid, {}};

  // The kernel says how much room the group list needs when the first guess is too small.
  std::vector<gid_t> groups(32);
  while (true) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      break;
    }
    if (errno != ERANGE) {
      return errno;
    }
    groups.resize(size / sizeof(gid_t) + 1);
  }
  peer.supplementaryGroups = std::move(groups);
  return peer;
}

std::optional<gid_t> lookupGroup(std::string_view name) {
  const std::string groupName{name};
  long suggested = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
  group entry{};
  group* found = nullptr;
  while (true) {
    const int status =
        ::getgrnam_r(groupName.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (status == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0 || found == nullptr) {
      return std::nullopt;
    }
    return found->gr_gid;
  }
}

}  // namespace quillmere::platform
