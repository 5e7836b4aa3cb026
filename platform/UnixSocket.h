#pragma once

#include <string_view>
#include <variant>

#include "platform/UniqueFd.h"

namespace quillmere::platform {

// A connected stream socket to `path`, or the errno that stopped the connection.
std::variant<UniqueFd, int> connectUnixSocket(std::string_view path);

}  // namespace quillmere::platform
