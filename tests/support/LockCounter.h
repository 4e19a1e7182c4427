// Counts pthread mutex and read-write lock acquisitions (lock, trylock,
// rdlock, wrlock) made by any thread while a counter is alive. Linking this
// helper into a test program wraps glibc's entry points with counting ones.
// Under ThreadSanitizer, whose interceptors own these functions, nothing is
// counted and available() is false.
#pragma once

namespace qm::test {

class LockCounter {
public:
    LockCounter();
    ~LockCounter();
    LockCounter(const LockCounter&) = delete;
    LockCounter& operator=(const LockCounter&) = delete;

    long count() const;
    static bool available();
};

}  // namespace qm::test
