#include "support/CallCounters.h"
#include "platform/Sanitizers.h"

#include <cstddef>

// A sanitizer owns the allocator and intercepts the lock functions itself.
#if defined(QM_SANITIZE_ADDRESS) || defined(QM_SANITIZE_THREAD)
#define QM_SANITIZED 1
#else
#include <pthread.h>
#endif

namespace qm::test {

namespace {
// Each thread's innermost live counter of each kind, or null. Plain
// pointers in static TLS: reading them allocates nothing, so the counting
// allocator may look at them.
thread_local std::atomic<long>* allocationSink = nullptr;
thread_local std::atomic<long>* lockSink = nullptr;

inline void note(std::atomic<long>* sink) {
    if (sink) sink->fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

CallCounter::CallCounter(std::atomic<long>*& sink) : sink_(sink), outer_(sink) { sink_ = &calls_; }

CallCounter::~CallCounter() { sink_ = outer_; }

AllocationCounter::AllocationCounter() : CallCounter(allocationSink) {}

LockCounter::LockCounter() : CallCounter(lockSink) {}

bool LockCounter::available() {
#if defined(QM_SANITIZED)
    return false;
#else
    return true;
#endif
}

void noteAllocation() { note(allocationSink); }
void noteLock() { note(lockSink); }

}  // namespace qm::test

#if defined(QM_SANITIZED)
// The sanitizer owns the allocator: count through its allocation hook.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
namespace {
[[maybe_unused]] const int hooked = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, size_t) { qm::test::noteAllocation(); }, [](const volatile void*) {});
}  // namespace
#else
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    qm::test::noteAllocation();
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
    qm::test::noteAllocation();
    return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
    qm::test::noteAllocation();
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
    qm::test::noteLock();
    return qm_glibc_mutex_lock(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
    qm::test::noteLock();
    return qm_glibc_mutex_trylock(m);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* l) {
    qm::test::noteLock();
    return qm_glibc_rwlock_rdlock(l);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* l) {
    qm::test::noteLock();
    return qm_glibc_rwlock_wrlock(l);
}
}
#endif
