#pragma once

#include <optional>
#include <string>

namespace quillmere::platform {

// Why files that root will run must not be put in `directory`, or nothing when they may. Every
// directory on its resolved path must belong to root or to this process's user, and must not be
// writable by anyone else unless its sticky bit keeps them from renaming or removing what is not
// theirs; otherwise another user could swap a file for one of their own between its writing and
// its running. A directory that cannot be resolved gives nothing: writing into it fails anyway,
// with its own reason.
std::optional<std::string> untrustedDirectoryReason(const std::string& directory);

}  // namespace quillmere::platform
