// A half-open range of frames of one file, [lower, upper): the selection of
// the editor and of the audition player.
//
// A plain value; any thread.
#pragma once

#include <cstdint>

namespace qm {

struct FrameRange {
    int64_t lower = 0;
    int64_t upper = 0;
    int64_t length() const { return upper - lower; }
    bool contains(int64_t frame) const { return frame >= lower && frame < upper; }
    bool operator==(const FrameRange&) const = default;
};

}  // namespace qm
