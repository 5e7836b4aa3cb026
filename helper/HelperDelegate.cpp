#include "helper/HelperDelegate.h"

#include <chrono>

#include "helper/ConnectionServer.h"
#include "helper/Helper.h"
#include "helper/HelperLog.h"
#include "platform/Sockets.h"

namespace quillmere {
namespace {

// How long a refused peer may take to send the call that gets its answer.
constexpr std::chrono::seconds refusalPatience{5};

}  // namespace

void HelperDelegate::serveConnection(platform::UniqueFd connection) {
  Helper helper{logger_, HelperSettings{}, &wireGuardTurns_,
                [socket = connection.get()] { return platform::peerHasHungUp(socket); }};
  logHelperLine(logger_, "New connection accepted");
  ConnectionServer{connection.get(), logger_}.serve(helper);
}

void HelperDelegate::refuseConnection(platform::UniqueFd connection) {
  ConnectionServer{connection.get(), logger_}.refuse(refusalPatience);
}

}  // namespace quillmere
