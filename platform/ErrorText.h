#pragma once

#include <string>

namespace quillmere::platform {

// The system's description of an errno value (thread-safe, unlike strerror).
std::string errorText(int errorNumber);

}  // namespace quillmere::platform
