#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace quillmere {

// How many connections one user other than root may hold open at once.
inline constexpr std::size_t maxConnectionsPerUser = 32;

// Counts the connections each user holds, so that one user's idle or stuck connections cannot
// take every place the daemon has and keep everybody else out, and all users other than root
// together hold at most `allUsers`, so that root finds a place however many users are stuck.
// Root is never counted: it could stop the daemon anyway, and must always get through.
class ConnectionQuota {
 public:
  explicit ConnectionQuota(std::size_t perUser, std::size_t allUsers = SIZE_MAX)
      : perUser_(perUser), allUsers_(allUsers) {}
  ConnectionQuota(const ConnectionQuota&) = delete;
  ConnectionQuota& operator=(const ConnectionQuota&) = delete;

  // One user's place, given back when it is dropped.
  class Place {
   public:
    Place() = default;
    Place(Place&& other) noexcept;
    Place& operator=(Place&& other) noexcept;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() { giveBack(); }

   private:
    friend class ConnectionQuota;
    Place(ConnectionQuota* quota, uid_t uid) : quota_(quota), uid_(uid) {}
    void giveBack();

    ConnectionQuota* quota_ = nullptr;
    uid_t uid_ = 0;
  };

  // A place for `uid`, or nothing when that user already holds all of theirs or all users
  // together hold all theirs.
  std::optional<Place> take(uid_t uid);

 private:
  void giveBack(uid_t uid);

  const std::size_t perUser_;
  const std::size_t allUsers_;
  std::mutex mutex_;
  std::map<uid_t, std::size_t> held_;
  std::size_t heldByAll_ = 0;
};

}  // namespace quillmere
