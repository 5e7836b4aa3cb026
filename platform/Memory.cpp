#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quillmere::platform {

void backWithMemory(char* start, std::size_t bytes) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(page - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
}

}  // namespace quillmere::platform
