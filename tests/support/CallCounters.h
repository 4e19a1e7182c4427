// Counters of calls that a real-time thread must never make, for tests that
// check it. A counter counts the calls made on the thread that created it,
// and only while it lives: the thread under test creates its counter, and
// whatever the test's other threads do meanwhile is not counted.
//
// Linking this helper (the library qm_test_counters) into a test program
// replaces the C allocator's entry points (malloc, calloc, realloc;
// operator new goes through malloc) and glibc's pthread mutex and read-write
// lock entry points (lock, trylock, rdlock, wrlock) with counting ones that
// forward to glibc. Under a sanitizer (Address or Thread), which owns the
// allocator and intercepts the lock functions itself, allocations are
// counted through the sanitizer's allocation hook instead, locks are not
// counted and LockCounter::available() is false.
//
// A counter must be destroyed on the thread that created it; counters of one
// kind on one thread nest (the innermost one counts).
#pragma once

#include <atomic>

namespace qm::test {

class CallCounter {
public:
    CallCounter(const CallCounter&) = delete;
    CallCounter& operator=(const CallCounter&) = delete;
    long count() const { return calls_.load(); }

protected:
    // `sink` is the calling thread's slot for this kind of call.
    explicit CallCounter(std::atomic<long>*& sink);
    ~CallCounter();

private:
    std::atomic<long> calls_{0};
    std::atomic<long>*& sink_;
    std::atomic<long>* outer_;
};

class AllocationCounter : public CallCounter {
public:
    AllocationCounter();
};

class LockCounter : public CallCounter {
public:
    LockCounter();
    static bool available();
};

}  // namespace qm::test
