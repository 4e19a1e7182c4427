// The safety limiter (mn_limit.h). The window's smallest need is kept as a
// queue of increasing gains with their frames (the front is the smallest),
// so each frame costs a few comparisons whatever the hold.
#include "rt/mn_limit.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace {

// Within 0.0001 dB of 1 a gain is 1 again.
constexpr float kSnap = 0.99999f;

}  // namespace

struct mn_limit {
    int32_t channels = 0;
    float threshold = 1.0f;
    int32_t lookahead = 0;  // the delay; the gain is averaged over lookahead + 1 frames
    int32_t hold = 1;       // frames a need is held
    double release = 0;     // the gap to 1 left after one frame
    std::vector<float> delay;  // channels x max(lookahead, 1)
    int32_t delayAt = 0;
    std::vector<float> minGain;
    std::vector<int64_t> minFrame;
    int32_t minHead = 0, minCount = 0;
    std::vector<float> box;  // the last lookahead + 1 released gains
    int32_t boxAt = 0;
    double boxSum = 0;
    int32_t boxBelow = 0;    // entries of `box` below 1
    // Released gain of the last frame, in double: near 1 the release's step
    // per frame is far below a float's resolution, and a float gain would
    // stop short of 1 for good.
    double gain = 1.0;
    int64_t frame = 0;
};

extern "C" {

mn_limit* mn_limit_create(int32_t channels, float threshold, int32_t lookahead, int32_t hold, double release) {
    if (channels < 1 || !(threshold > 0.0f) || lookahead < 0 || hold < lookahead + 1 || !(release > 0.0))
        return nullptr;
    auto* l = new (std::nothrow) mn_limit;
    if (!l) return nullptr;
    try {
        l->channels = channels;
        l->threshold = threshold;
        l->lookahead = lookahead;
        l->hold = hold;
        l->release = std::exp(-1.0 / release);
        l->delay.assign(static_cast<size_t>(channels) * static_cast<size_t>(std::max(lookahead, 1)), 0.0f);
        l->minGain.assign(static_cast<size_t>(hold), 1.0f);
        l->minFrame.assign(static_cast<size_t>(hold), 0);
        l->box.assign(static_cast<size_t>(lookahead) + 1, 1.0f);
    } catch (const std::bad_alloc&) {
        delete l;
        return nullptr;
    }
    mn_limit_reset(l);
    return l;
}

void mn_limit_destroy(mn_limit* limit) { delete limit; }

void mn_limit_reset(mn_limit* l) {
    std::fill(l->delay.begin(), l->delay.end(), 0.0f);
    std::fill(l->box.begin(), l->box.end(), 1.0f);
    l->delayAt = l->boxAt = l->minHead = l->minCount = l->boxBelow = 0;
    l->boxSum = static_cast<double>(l->box.size());
    l->gain = 1.0;
    l->frame = 0;
}

int32_t mn_limit_lookahead(const mn_limit* l) { return l->lookahead; }

int32_t mn_limit_active(const mn_limit* l) { return l->gain < 1.0 || l->minCount > 0 || l->boxBelow > 0; }

void mn_limit_process(mn_limit* l, float* const* channels, int32_t count, int32_t frames) {
    if (frames <= 0) return;
    count = std::min(count, l->channels);
    const float threshold = l->threshold;
    const int32_t lookahead = l->lookahead, hold = l->hold, w = lookahead + 1;
    if (lookahead == 0 && !mn_limit_active(l)) {
        // At rest, a block that never goes above the threshold passes as it is.
        bool over = false;
        for (int32_t c = 0; c < count && !over; ++c) {
            const float* x = channels[c];
            if (!x) continue;
            float peak = 0.0f;
            for (int32_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(x[i]));
            over = peak > threshold;
        }
        if (!over) {
            l->frame += frames;
            return;
        }
    }
    for (int32_t i = 0; i < frames; ++i, ++l->frame) {
        float peak = 0.0f;
        for (int32_t c = 0; c < count; ++c)
            if (channels[c]) peak = std::max(peak, std::fabs(channels[c][i]));
        const float need = peak > threshold ? threshold / peak : 1.0f;
        // The window's smallest need: drop the need that left it, then
        // those at or above the new one, which can never be the smallest.
        if (l->minCount > 0 && l->minFrame[static_cast<size_t>(l->minHead)] <= l->frame - hold) {
            l->minHead = (l->minHead + 1) % hold;
            --l->minCount;
        }
        // Without a look-ahead a need within 0.0001 dB of 1 acts on its own
        // frame alone: the release would take it back at once anyway.
        if (lookahead > 0 || need <= kSnap) {
            while (l->minCount > 0 &&
                   l->minGain[static_cast<size_t>((l->minHead + l->minCount - 1) % hold)] >= need)
                --l->minCount;
            const int32_t tail = (l->minHead + l->minCount) % hold;
            l->minGain[static_cast<size_t>(tail)] = need;
            l->minFrame[static_cast<size_t>(tail)] = l->frame;
            ++l->minCount;
        }
        const float held = l->minCount > 0 ? std::min(l->minGain[static_cast<size_t>(l->minHead)], need) : need;

        double released = l->gain >= 1.0 ? 1.0 : 1.0 - (1.0 - l->gain) * l->release;
        if (released > kSnap) released = 1.0;
        l->gain = std::min(static_cast<double>(held), released);
        const float gain = static_cast<float>(l->gain);

        float& slot = l->box[static_cast<size_t>(l->boxAt)];
        l->boxBelow += (gain < 1.0f) - (slot < 1.0f);
        l->boxSum += static_cast<double>(gain) - slot;
        slot = gain;
        l->boxAt = (l->boxAt + 1) % w;
        float g = 1.0f;
        if (l->boxBelow == 0) {
            l->boxSum = w;  // exact again: no rounding carried on
        } else {
            g = static_cast<float>(l->boxSum / w);
        }

        for (int32_t c = 0; c < count; ++c) {
            float* x = channels[c];
            if (!x) continue;
            float v = x[i];
            if (lookahead > 0) std::swap(v, l->delay[static_cast<size_t>(c) * static_cast<size_t>(lookahead) +
                                                      static_cast<size_t>(l->delayAt)]);
            // The average lies at or below every need in the window; the
            // clamp only takes up float rounding.
            if (g < 1.0f) v = std::clamp(v * g, -threshold, threshold);
            x[i] = v;
        }
        if (lookahead > 0) l->delayAt = (l->delayAt + 1) % lookahead;
    }
}

}  // extern "C"
