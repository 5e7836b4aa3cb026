#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/SandboxedHelper.h"

namespace quillmere::testing_support {

// Who a peer is to the daemon: its uid and, when set, the one group it belongs to.
struct PeerIdentity {
  int uid = 0;
  std::optional<int> group = std::nullopt;
};

// What a peer got for the bytes it sent.
struct PeerExchange {
  bool connected = false;
  std::string received;  // every byte the daemon sent before it hung up
  int sendError = 0;     // the errno that stopped sending, 0 when all went out
  int receiveError = 0;  // the errno that ended receiving, 0 for an orderly end
};

// Connects to the sandboxed daemon's socket as `peer` from a child process of this one that
// entered the sandbox's mount namespace, sends `bytes` as they are (no NUL is added) while
// reading, and reads until the daemon hangs up. Forks, so it must be called while this process
// runs a single thread.
PeerExchange exchangeAs(const SandboxedHelper& sandbox, const PeerIdentity& peer,
                        std::string_view bytes);

// A JSON array of empty objects that is `bytes` long (at least 4): a hostile message of millions
// of values, each costly to a parser that rescans an array whenever an element closes.
std::string arrayOfEmptyObjects(std::size_t bytes);

// The replies in what the daemon sent, each without its NUL.
std::vector<std::string> splitMessages(std::string_view received);

}  // namespace quillmere::testing_support
