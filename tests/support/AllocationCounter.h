// Counts calls to malloc, calloc and realloc (and so to operator new, which
// goes through malloc) made by any thread or library while a counter is
// alive. Linking this helper into a test program replaces the C allocator's
// entry points with counting ones that forward to glibc.
#pragma once

namespace qm::test {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    long count() const;
};

}  // namespace qm::test
