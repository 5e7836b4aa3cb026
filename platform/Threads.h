#pragma once

#include <pthread.h>

namespace quillmere::platform {

// Names the calling thread as `ps -L` and /proc show it (at most 15 characters are kept).
inline void nameCurrentThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

}  // namespace quillmere::platform
