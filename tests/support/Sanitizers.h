#pragma once

namespace quillmere::testing_support {

// What the compiler says of the sanitizers: GCC defines macros, clang answers __has_feature.
#if defined(__has_feature)
#define QUILLMERE_HAS_FEATURE(name) __has_feature(name)
#else
#define QUILLMERE_HAS_FEATURE(name) 0
#endif

// Whether this build runs under ThreadSanitizer, whose runtime keeps a thread of its own in every
// process, so that a forked child cannot enter another mount namespace (setns needs a process of
// one thread).
#if defined(__SANITIZE_THREAD__) || QUILLMERE_HAS_FEATURE(thread_sanitizer)
inline constexpr bool builtWithThreadSanitizer = true;
#else
inline constexpr bool builtWithThreadSanitizer = false;
#endif

// Whether this build (and so the daemon it tests) runs under AddressSanitizer or ThreadSanitizer,
// whose allocators keep quarantines and shadow memory: a bound on the daemon's memory says
// nothing there.
#if defined(__SANITIZE_ADDRESS__) || QUILLMERE_HAS_FEATURE(address_sanitizer)
inline constexpr bool builtWithSanitizer = true;
#else
inline constexpr bool builtWithSanitizer = builtWithThreadSanitizer;
#endif

#undef QUILLMERE_HAS_FEATURE

}  // namespace quillmere::testing_support
