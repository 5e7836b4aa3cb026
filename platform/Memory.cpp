#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace quillmere::platform {
namespace {

// Past this, a text gets its reservation; below it, doubling costs little. Kept small, as
// malloc keeps freed blocks of a few MiB for reuse rather than returning them to the system.
constexpr std::size_t reservationThreshold = std::size_t{1} * 1024 * 1024;
constexpr std::size_t reservedAddressSpace = std::size_t{4} * 1024 * 1024 * 1024;
constexpr std::size_t backingStep = std::size_t{8} * 1024 * 1024;

// The whole pages within [start, start + bytes) given to `advice`.
void advisePages(char* start, std::size_t bytes, int advice) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto first = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(page - 1);
  if (last > first) {
    // Advice only: where it is not taken (huge pages off, a kernel before 5.14 for populating),
    // pages fault in one by one as before and nothing else changes.
    ::madvise(reinterpret_cast<void*>(first), last - first, advice);
  }
}

}  // namespace

void growLargeText(std::string& text, std::size_t needed) {
  if (needed <= text.size()) return;
  if (needed > reservationThreshold && text.capacity() < reservedAddressSpace &&
      needed < reservedAddressSpace) {
    try {
      text.reserve(reservedAddressSpace);
      advisePages(text.data(), text.capacity(), MADV_HUGEPAGE);
    } catch (const std::bad_alloc&) {
      // Refused: the string's own growth below.
    }
  }
  std::size_t size = needed;
  if (text.capacity() >= reservedAddressSpace) {
    size = std::max(needed, std::min(text.capacity(), text.size() + backingStep));
    advisePages(text.data() + text.size(), size - text.size(), MADV_POPULATE_WRITE);
  }
  text.resize(size);
}

}  // namespace quillmere::platform
