#pragma once

namespace quillmere::testing_support {

// Whether this build (and so the daemon it tests) runs under AddressSanitizer or ThreadSanitizer,
// whose allocators keep quarantines and shadow memory: a bound on the daemon's memory says
// nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool builtWithSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool builtWithSanitizer = true;
#else
inline constexpr bool builtWithSanitizer = false;
#endif
#else
inline constexpr bool builtWithSanitizer = false;
#endif

// Whether this build runs under ThreadSanitizer, whose runtime keeps a thread of its own in every
// process, so that a forked child cannot enter another mount namespace (setns needs a process of
// one thread).
#if defined(__SANITIZE_THREAD__)
inline constexpr bool builtWithThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool builtWithThreadSanitizer = true;
#else
inline constexpr bool builtWithThreadSanitizer = false;
#endif
#else
inline constexpr bool builtWithThreadSanitizer = false;
#endif

}  // namespace quillmere::testing_support
