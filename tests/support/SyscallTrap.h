// Counts the system calls of one thread, for tests that show a real-time
// path makes none.
//
// A SyscallTrap installs a SIGSYS handler for its lifetime. A thread that
// calls trapThisThread() gets a seccomp filter (for the rest of its life)
// that turns every system call into that signal, except the few a thread
// needs to end and to give memory back; the handler makes the call fail
// with ENOSYS and, while counting is on, counts it. Only x86-64 without a
// sanitizer is supported: a sanitizer's runtime makes system calls of its
// own on the thread (its shadow memory at thread exit) and ThreadSanitizer
// intercepts the signal.
//
// Create and destroy the trap on the test's main thread, around the
// threads it watches.
#pragma once

#include "platform/Sanitizers.h"

namespace qm::test {

class SyscallTrap {
public:
    static constexpr bool available() {
#if defined(__x86_64__) && !defined(QM_SANITIZE_THREAD) && !defined(QM_SANITIZE_ADDRESS)
        return true;
#else
        return false;
#endif
    }

    SyscallTrap();
    ~SyscallTrap();
    SyscallTrap(const SyscallTrap&) = delete;
    SyscallTrap& operator=(const SyscallTrap&) = delete;

    // On the thread to watch; false when the filter cannot be installed.
    bool trapThisThread();
    // Counting starts at 0 and runs until stopCounting().
    void startCounting();
    void stopCounting();
    long calls() const;
};

}  // namespace qm::test
