#pragma once

#include <cstddef>

namespace quillmere::platform {

// Backs the whole pages within [start, start + bytes) with memory in one step, far cheaper than a
// fault per page as they are first written. Where the system cannot (before Linux 5.14), the
// pages fault in as before; nothing else changes.
void backWithMemory(char* start, std::size_t bytes);

}  // namespace quillmere::platform
