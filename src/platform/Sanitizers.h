#pragma once

// Which sanitizer instruments this translation unit. GCC says so with
// __SANITIZE_ADDRESS__ and __SANITIZE_THREAD__; clang before 16 defines
// neither and answers __has_feature instead. Code that must step aside for
// a sanitizer (its own allocator, its interceptors, its signal handling)
// asks these two, never the compiler's own macros.
#if defined(__SANITIZE_ADDRESS__)
#define QM_SANITIZE_ADDRESS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_SANITIZE_ADDRESS 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define QM_SANITIZE_THREAD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QM_SANITIZE_THREAD 1
#endif
#endif
