#pragma once

#include <string_view>

namespace quillmere::platform {

// Whether something exists at `path`, following a final symbolic link (a dangling link does not
// exist). Permissions play no part. A path holding a NUL byte names nothing: the system would
// see only the part before it.
bool pathExists(std::string_view path);

}  // namespace quillmere::platform
