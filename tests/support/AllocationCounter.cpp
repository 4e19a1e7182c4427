#include "support/AllocationCounter.h"

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<int> active{0};
std::atomic<long> calls{0};

inline void note() {
    if (active.load(std::memory_order_relaxed) > 0) calls.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
    note();
    return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
    note();
    return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
    note();
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

namespace qm::test {

AllocationCounter::AllocationCounter() {
    calls.store(0);
    active.fetch_add(1);
}

AllocationCounter::~AllocationCounter() { active.fetch_sub(1); }

long AllocationCounter::count() const { return calls.load(); }

}  // namespace qm::test
