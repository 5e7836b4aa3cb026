// Memory for texts that may grow to hundreds of MiB: a script's output and the reply carrying it.
#pragma once

#include <cstddef>
#include <string>

namespace quillmere::platform {

// Makes `text.size()` at least `needed` (new bytes are zero), growing it as a text read in from a
// stream of unknown length grows best. While it is small it doubles as any string does. Past
// 1 MiB it reserves address space for 4 GiB at once, so that it is never copied again, asks for
// huge pages there, and backs each further step of 8 MiB with memory in one go: a fault per
// 4 KiB page would cost more than the bytes themselves. Where the system refuses the reservation
// (a strict overcommit policy, a ulimit), or past 4 GiB, the string grows as usual.
void growLargeText(std::string& text, std::size_t needed);

}  // namespace quillmere::platform
