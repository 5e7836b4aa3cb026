#pragma once

#include <string_view>

#include "protocol/InstallPaths.h"

namespace quillmere {

// One label names the service, its Varlink interface, its units and its installed executable.
inline constexpr std::string_view helperServiceLabel = "com.quillmere.helper";

// Always the system socket, never a per-user one: the daemon runs as root for everybody.
inline constexpr std::string_view helperSocketPath = "/run/com.quillmere.helper.sock";

// Members of this group (and root) may use the helper.
inline constexpr std::string_view helperGroupName = "quillmere";

inline constexpr std::string_view helperSocketUnit = "com.quillmere.helper.socket";
inline constexpr std::string_view helperServiceUnit = "com.quillmere.helper.service";

}  // namespace quillmere
