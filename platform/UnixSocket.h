#pragma once

#include <string_view>
#include <variant>

#include "platform/UniqueFd.h"

namespace quillmere::platform {

// A connected stream socket to `path`, or the errno that stopped the connection.
std::variant<UniqueFd, int> connectUnixSocket(std::string_view path);

// True once the peer of a connected stream socket has closed its end altogether (a peer that
// only shut down its writing side may still read a reply). Reads nothing from the socket.
bool peerHasHungUp(int socket);

}  // namespace quillmere::platform
