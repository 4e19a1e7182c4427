#include "platform/LargeBuffers.h"

#include <sys/mman.h>

#include <cstdint>

namespace qm {

namespace {
#ifdef MADV_COLLAPSE
constexpr int kCollapse = MADV_COLLAPSE;
#else
constexpr int kCollapse = 25;  // Linux 6.1; older kernels refuse it
#endif
}  // namespace

void reserveLarge(std::vector<float>& v, size_t n) {
    constexpr size_t kPage = 4096;
    constexpr size_t kHuge = size_t(2) << 20;
    const size_t bytes = n * sizeof(float);
    if (!v.empty() || bytes < kHuge) {
        v.reserve(n);
        return;
    }
    // The allocator maps a block this large on its own, a header and all;
    // the kernel places a mapping of whole huge pages on a huge-page
    // boundary. So the room asked for is the huge pages that hold n floats
    // less a page for the header.
    const size_t mapped = (bytes + kPage + kHuge - 1) / kHuge * kHuge;
    v.reserve((mapped - kPage) / sizeof(float));
    const auto at = reinterpret_cast<uintptr_t>(v.data());
    const uintptr_t begin = at & ~uintptr_t(kPage - 1);
    const uintptr_t end = (at + v.capacity() * sizeof(float) + kPage - 1) & ~uintptr_t(kPage - 1);
    // Advice only: refused, the pages are small ones. The allocator has
    // already written its header into the first page, which would keep
    // the first huge page from being made on the first write: the whole
    // huge pages of the room are made now, empty.
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    const uintptr_t first = (begin + kHuge - 1) & ~uintptr_t(kHuge - 1), last = end & ~uintptr_t(kHuge - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, kCollapse);
}

}  // namespace qm
