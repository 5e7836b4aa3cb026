// Files: whole writes, atomic placement, existence, and whether a directory is safe for root.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Result.h"

namespace quillmere::platform {

// Writes all of `bytes` to `fd`, finishing off short writes. Fails with the errno that stopped it
// (step "write"). A pipe takes up to PIPE_BUF bytes in one piece, so a line is never interleaved.
Result<void> writeWhole(int fd, std::string_view bytes);
// The same for `pieces` written one after another with one writev() each time, so that a long
// text need not be joined to what goes around it first.
Result<void> writeWhole(int fd, std::span<std::string_view> pieces);

// Puts `content` at `directory`/`name` with permission bits `mode` so that the name never shows a
// partly written file or one with other bits, and nothing is ever written through a link planted
// by somebody else. The bytes go to a fresh auxiliary file with an unpredictable name in the same
// directory, created exclusively; the mode is set on its descriptor; then it is renamed to `name`
// without replacing anything already there (an existing entry of that name fails with EEXIST).
// On failure no auxiliary file is left and nothing appears at `name`. A failure to set the mode
// is step `setModeStep`; every other failure is step "write".
inline constexpr std::string_view setModeStep = "set mode";
Result<void> writeFileAtomically(const std::string& directory, const std::string& name,
                                 std::string_view content, mode_t mode);

// Removes the entry `path` names (not what a final link points to). Fails with the errno
// (step "unlink"), ENOENT when nothing is there.
Result<void> removeFile(const std::string& path);

// Whether something exists at `path`, following a final symbolic link (a dangling link does not
// exist). Permissions play no part. A path holding a NUL byte names nothing: the system would
// see only the part before it.
bool pathExists(std::string_view path);

// Why files that root will run must not be put in `directory`, or nothing when they may. Every
// directory on its resolved path must belong to root or to this process's user, and must not be
// writable by anyone else unless its sticky bit keeps them from renaming or removing what is not
// theirs; otherwise another user could swap a file for one of their own between its writing and
// its running. A directory that cannot be resolved gives nothing: writing into it fails anyway,
// with its own reason. (A policy's answer, not a failure of the system: hence no Result.)
std::optional<std::string> untrustedDirectoryReason(const std::string& directory);

}  // namespace quillmere::platform
