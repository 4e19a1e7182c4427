// Reading what a monitor change did at a stand-in output: the cycle in
// which a channel first left what it played before the change. Shared by
// the window's live test and the click benchmark.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>

#include "support/JackTestDevice.h"

namespace qm::test {

// The server's frame time at the start of the first cycle, from recorded
// frame `from` on, in which channel `c` of `out` differs from
// `before(frame of the source)`; -1 when none did.
inline int64_t changeCycleTime(const JackTestDevice& out, const JackTestSource& in, int c, int64_t from,
                               const std::function<float(int64_t)>& before) {
    for (int64_t r = std::max<int64_t>(from, 0); r < out.recorded(); ++r) {
        const int64_t p = in.cycles().positionAt(out.cycles().frameTimeOf(r));
        if (p < 0) continue;
        if (out.channel(c)[size_t(r)] == before(p)) continue;
        const auto starts = out.cycles().cycleStarts();
        const auto it = std::upper_bound(starts.begin(), starts.end(), r);
        if (it == starts.begin()) return -1;
        return out.cycles().frameTimeOf(*(it - 1));
    }
    return -1;
}

// Whole periods from `clickTime` to the start of the cycle that changed:
// 1 when the change arrived in the first cycle after the click.
inline int64_t periodsAfter(int64_t clickTime, int64_t changeTime, int period) {
    return (changeTime - clickTime + period - 1) / period;
}

}  // namespace qm::test
