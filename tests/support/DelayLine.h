// A duplex stream's process function that copies each source channel to the
// device `delay` frames late, as an insert that reports that latency does.
// The line is sized before the stream starts, so the render side never
// allocates; channels beyond the source's read silence.
#pragma once

#include <cstdint>
#include <vector>

namespace qm::test {

struct DelayLine {
    uint32_t delay = 0;
    std::vector<std::vector<float>> line = std::vector<std::vector<float>>(2, std::vector<float>(65536, 0.0f));
    uint64_t at = 0;
    static void process(void* user, uint32_t frames, const float* const* in, uint32_t nin, float* const* out,
                        uint32_t nout) {
        auto* self = static_cast<DelayLine*>(user);
        for (uint32_t t = 0; t < frames; ++t) {
            const uint64_t now = self->at + t;
            for (uint32_t c = 0; c < nout; ++c) {
                auto& line = self->line[c % 2];
                line[now % line.size()] = c < nin ? in[c][t] : 0.0f;
                out[c][t] = now >= self->delay ? line[(now - self->delay) % line.size()] : 0.0f;
            }
        }
        self->at += frames;
    }
};

}  // namespace qm::test
