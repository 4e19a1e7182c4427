// Counters of calls that a real-time thread must never make, for tests that
// check it. Linking this helper into a test program replaces the C
// allocator's entry points (malloc, calloc, realloc; operator new goes
// through malloc) and glibc's pthread mutex and read-write lock entry points
// (lock, trylock, rdlock, wrlock) with counting ones that forward to glibc.
// A counter counts the calls of every thread and library while it is alive.
// Under ThreadSanitizer, which owns these functions, allocations are counted
// through its allocation hook, locks are not counted and
// LockCounter::available() is false.
#pragma once

namespace qm::test {

struct CallTally;

class CallCounter {
public:
    CallCounter(const CallCounter&) = delete;
    CallCounter& operator=(const CallCounter&) = delete;
    long count() const;

protected:
    explicit CallCounter(CallTally& tally);
    ~CallCounter();

private:
    CallTally& tally_;
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
