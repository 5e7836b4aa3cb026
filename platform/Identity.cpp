#include "platform/Identity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

namespace quillmere::platform {

Result<PeerCredentials> readPeerCredentials(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return lastError("read the peer's credentials");
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
      return lastError("read the peer's groups");
    }
    groups.resize(size / sizeof(gid_t) + 1);
  }
  peer.supplementaryGroups = std::move(groups);
  return peer;
}

namespace {

// `text` as a decimal id, or nothing when it is not one.
std::optional<std::uint64_t> decimal(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// The id `id` of the entry a getpwnam_r-like `lookup(entry, buffer, size, found)` finds, or
// nothing; the buffer grows while the entry does not fit (up to 1 MiB).
template <class Entry, class Id, class Lookup>
std::optional<Id> entryId(int sizeQuery, Id Entry::*id, Lookup lookup) {
  const long suggested = ::sysconf(sizeQuery);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
  Entry entry{};
  Entry* found = nullptr;
  while (true) {
    const int status = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (status == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0 || found == nullptr) return std::nullopt;
    return found->*id;
  }
}

std::optional<uid_t> lookupUser(const std::string& name) {
  return entryId(_SC_GETPW_R_SIZE_MAX, &passwd::pw_uid,
                 [&name](passwd* entry, char* buffer, std::size_t size, passwd** found) {
                   return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
                 });
}

}  // namespace

std::optional<uid_t> readLoginUid(pid_t pid) {
  std::ifstream file{"/proc/" + std::to_string(pid) + "/loginuid"};
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  const auto value = decimal(text);
  // (uid_t)-1 is the kernel's "never set".
  if (!value || *value >= std::numeric_limits<uid_t>::max()) return std::nullopt;
  return static_cast<uid_t>(*value);
}

std::optional<uid_t> subordinateIdOwner(uid_t uid, std::string_view subuidFile) {
  std::ifstream file{std::string{subuidFile}};
  for (std::string line; std::getline(file, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const auto start = decimal(std::string_view{line}.substr(first + 1, second - first - 1));
    const auto count = decimal(std::string_view{line}.substr(second + 1));
    if (!start || !count || uid < *start || uid - *start >= *count) continue;
    const std::string owner = line.substr(0, first);
    if (const auto number = decimal(owner)) {
      if (*number < std::numeric_limits<uid_t>::max()) return static_cast<uid_t>(*number);
      continue;
    }
    if (const auto named = lookupUser(owner)) return named;
  }
  return std::nullopt;
}

std::optional<gid_t> lookupGroup(std::string_view name) {
  const std::string groupName{name};
  return entryId(_SC_GETGR_R_SIZE_MAX, &group::gr_gid,
                 [&groupName](group* entry, char* buffer, std::size_t size, group** found) {
                   return ::getgrnam_r(groupName.c_str(), entry, buffer, size, found);
                 });
}

}  // namespace quillmere::platform
