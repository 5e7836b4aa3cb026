#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <variant>

#include "platform/UniqueFd.h"

namespace quillmere::platform {

struct ListenFailure {
  std::string description;
};

// The socket to accept connections on: the one systemd passed (LISTEN_FDS) when it did, else
// `path` bound here with mode 0660 and, when given, group `group`. A stale socket file at `path`
// is replaced; a path where a live daemon answers, or that is not a socket, is left alone.
std::variant<UniqueFd, ListenFailure> obtainListeningSocket(const std::string& path,
                                                            std::optional<gid_t> group);

// Waits for the next connection on `listeningSocket` (at most `patience`, or without end) and
// accepts it, close-on-exec. Returns the connection, or ETIMEDOUT when the time ran out, or the
// errno of the failing call.
std::variant<UniqueFd, int> acceptConnection(
    int listeningSocket, std::optional<std::chrono::milliseconds> patience = std::nullopt);

}  // namespace quillmere::platform
