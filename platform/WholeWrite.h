#pragma once

#include <string_view>

namespace quillmere::platform {

// Writes all of `bytes` to `fd`, finishing off short writes. Returns 0, or the errno that
// stopped it. A pipe takes up to PIPE_BUF bytes in one piece, so a line is never interleaved.
int writeWhole(int fd, std::string_view bytes);

}  // namespace quillmere::platform
