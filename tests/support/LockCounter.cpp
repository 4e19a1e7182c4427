#include "support/LockCounter.h"

#include <atomic>

#if !defined(__SANITIZE_THREAD__)
#include <pthread.h>
#endif

namespace {
std::atomic<int> active{0};
std::atomic<long> calls{0};

[[maybe_unused]] inline void note() {
    if (active.load(std::memory_order_relaxed) > 0) calls.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if !defined(__SANITIZE_THREAD__)
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
    note();
    return qm_glibc_mutex_lock(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) {
    note();
    return qm_glibc_mutex_trylock(m);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* l) {
    note();
    return qm_glibc_rwlock_rdlock(l);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* l) {
    note();
    return qm_glibc_rwlock_wrlock(l);
}
}
#endif

namespace qm::test {

LockCounter::LockCounter() {
    calls.store(0);
    active.fetch_add(1);
}

LockCounter::~LockCounter() { active.fetch_sub(1); }

long LockCounter::count() const { return calls.load(); }

bool LockCounter::available() {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

}  // namespace qm::test
