#pragma once

#include <sys/types.h>

#include <cstddef>

#include "helper/ConnectionQuota.h"
#include "helper/RefusalLog.h"
#include "platform/Identity.h"
#include "platform/Logger.h"

namespace quillmere {

// Connections served at once, and the share of them that users other than root may hold
// together: the rest is root's, so that root is never kept out.
inline constexpr std::size_t maxServedConnections = 256;
inline constexpr std::size_t maxNonRootConnections = maxServedConnections - 16;

// The one place that decides about a new connection: who the peer is, whether it may use the
// helper, whether it has a place left. Every refusal is logged here (rate-limited) and every
// place is counted here.
class PeerAdmission {
 public:
  enum class Verdict {
    Serve,  // root or a member with a place: gets its Helper
    Deny,   // not allowed, or not identified: answered PermissionDenied, then closed
    Close,  // no place left for its user: closed at once
  };
  struct Decision {
    Verdict verdict;
    ConnectionQuota::Place place;  // held for as long as the connection is served or denied
  };

  explicit PeerAdmission(platform::Logger& logger) : refusals_(logger) {}
  PeerAdmission(const PeerAdmission&) = delete;
  PeerAdmission& operator=(const PeerAdmission&) = delete;

  Decision admit(int connection);

  // Tells what the refusal lines left out; returns when to call again (see RefusalLog::flush).
  std::optional<RefusalLog::Clock::time_point> flushRefusals() { return refusals_.flush(); }

 private:
  RefusalLog refusals_;
  ConnectionQuota quota_{maxConnectionsPerUser, maxNonRootConnections};
};

// Whom a peer's connections are counted against: its login uid where the kernel has one (a
// user's processes keep it across setuid and user namespaces), else the user whose subordinate
// ids hold its uid, else its uid. So one member cannot take more places by using more uids.
uid_t countedUser(const platform::PeerCredentials& peer);

}  // namespace quillmere
