#include "support/CallCounters.h"

#include <atomic>
#include <cstddef>

#if !defined(__SANITIZE_THREAD__)
#include <pthread.h>
#endif

namespace qm::test {

struct CallTally {
    std::atomic<int> active{0};
    std::atomic<long> calls{0};

    void note() {
        if (active.load(std::memory_order_relaxed) > 0) calls.fetch_add(1, std::memory_order_relaxed);
    }
};

namespace {
CallTally allocations, locks;
}  // namespace

CallCounter::CallCounter(CallTally& tally) : tally_(tally) {
    tally_.calls.store(0);
    tally_.active.fetch_add(1);
}

CallCounter::~CallCounter() { tally_.active.fetch_sub(1); }

long CallCounter::count() const { return tally_.calls.load(); }

AllocationCounter::AllocationCounter() : CallCounter(allocations) {}

LockCounter::LockCounter() : CallCounter(locks) {}

bool LockCounter::available() {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

}  // namespace qm::test

using qm::test::allocations;
using qm::test::locks;

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer owns the allocator: count through its allocation hook.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
namespace {
[[maybe_unused]] const int hooked = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, size_t) { allocations.note(); }, [](const volatile void*) {});
}  // namespace
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    allocations.note();
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
    allocations.note();
    return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
    allocations.note();
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

// glibc's own implementations, reached under private names.
extern "C" int qm_glibc_mutex_lock(pthread_mutex_t*);
extern "C" int qm_glibc_mutex_trylock(pthread_mutex_t*);
extern "C" int qm_glibc_rwlock_rdlock(pthread_rwlock_t*);
extern "C" int qm_glibc_rwlock_wrlock(pthread_rwlock_t*);
__asm__(".symver qm_glibc_mutex_lock, __pthread_mutex_lock@GLIBC_2.2.5");
__asm__(".symver qm_glibc_mutex_trylock, __pthread_mutex_trylock@GLIBC_2.2.5");
__asm__(".symver qm_glibc_rwlock_rdlock, __pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__(".symver qm_glibc_rwlock_wrlock, __pthread_rwlock_wrlock@GLIBC_2.2.5");

extern "C" {
int pthread_mutex_lock(pthread_mutex_t* m) {
    locks.note();
    return qm_glibc_mutex_lock(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
    locks.note();
    return qm_glibc_mutex_trylock(m);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* l) {
    locks.note();
    return qm_glibc_rwlock_rdlock(l);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* l) {
    locks.note();
    return qm_glibc_rwlock_wrlock(l);
}
}
#endif
