// Unix stream sockets: listening, accepting, connecting, and the calls that move bytes on them.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Result.h"
#include "platform/UniqueFd.h"

namespace quillmere::platform {

// The address of `path`, or nothing when the path does not fit in one.
std::optional<sockaddr_un> unixAddress(std::string_view path);

// The socket to accept connections on: the one systemd passed (LISTEN_FDS) when it did, else
// `path` bound here with mode 0660 and, when given, group `group`. A stale socket file at `path`
// is replaced; a path where a live daemon answers, or that is not a socket, is left alone. A
// failure's `what` tells the whole step ("cannot bind /run/x.sock"); describe() adds the errno.
Result<UniqueFd> obtainListeningSocket(const std::string& path, std::optional<gid_t> group);

// Waits for the next connection on `listeningSocket` (at most `patience`, or without end) and
// accepts it, close-on-exec. Fails with ETIMEDOUT when the time ran out, or the errno of the
// failing call (EINTR included: the caller decides whether to go on).
Result<UniqueFd> acceptConnection(int listeningSocket,
                                  std::optional<std::chrono::milliseconds> patience = std::nullopt);

// A connected stream socket to `path`, or the errno that stopped the connection (ENAMETOOLONG
// for a path that is empty or too long for a socket address).
Result<UniqueFd> connectUnixSocket(std::string_view path);

// True once the peer of a connected stream socket has closed its end altogether (a peer that
// only shut down its writing side may still read a reply). Reads nothing from the socket.
bool peerHasHungUp(int socket);

// Waits until `socket` has something to read or its peer hung up (true), or `milliseconds`
// passed (false; -1 waits without end). Fails with the errno of poll, EINTR included.
Result<bool> waitReadable(int socket, int milliseconds);

// One receive into `buffer`: the count received, 0 at the end of the stream. `dontWait` makes an
// empty socket fail with EAGAIN instead of blocking. Every errno is returned, EINTR included.
Result<std::size_t> receiveSome(int socket, std::span<char> buffer, bool dontWait = false);

// One gathering send of `pieces`: the count of bytes that went out, perhaps fewer than all.
// Never raises SIGPIPE (a gone peer is EPIPE). Every errno is returned, EINTR included.
Result<std::size_t> sendSome(int socket, std::span<const iovec> pieces);

// Tells the peer that nothing more will be written; reading goes on.
void shutWriting(int socket);

// Bounds each blocking send on `socket` to `timeout`; a send that runs out fails with EAGAIN.
Result<void> setSendTimeout(int socket, std::chrono::milliseconds timeout);
// The same for each blocking receive.
Result<void> setReceiveTimeout(int socket, std::chrono::milliseconds timeout);

// Lets `bytes` wait in `socket`'s send queue: past the system's cap where the process may
// (CAP_NET_ADMIN), up to the cap otherwise. Fails only when neither could be set.
Result<void> widenSendQueue(int socket, int bytes);

}  // namespace quillmere::platform
