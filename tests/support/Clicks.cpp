#include "support/Clicks.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "support/Signals.h"

namespace qm::test {

Planar tones(int channels, int64_t frames, double amplitude, double rate, double lowHz, double highHz,
             uint64_t seed) {
    Planar out(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames)));
    uint64_t state = seed;
    for (int c = 0; c < channels; ++c) {
        const double f = channels > 1 ? lowHz * std::pow(highHz / lowHz, double(c) / (channels - 1)) : lowHz;
        const double phase = std::numbers::pi * uniformNoise(state);
        const double w = 2 * std::numbers::pi * f / rate;
        for (int64_t t = 0; t < frames; ++t)
            out[size_t(c)][size_t(t)] = static_cast<float>(amplitude * std::sin(w * double(t) + phase));
    }
    return out;
}

Planar pinkNoise(int channels, int64_t frames, double rms, uint64_t seed) {
    Planar out(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(frames)));
    uint64_t state = seed;
    for (auto& ch : out) {
        // Paul Kellett's filter of white noise.
        double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, power = 0;
        for (float& v : ch) {
            const double w = uniformNoise(state);
            b0 = 0.99886 * b0 + w * 0.0555179;
            b1 = 0.99332 * b1 + w * 0.0750759;
            b2 = 0.96900 * b2 + w * 0.1538520;
            b3 = 0.86650 * b3 + w * 0.3104856;
            b4 = 0.55000 * b4 + w * 0.5329522;
            b5 = -0.7616 * b5 - w * 0.0168980;
            const double x = b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362;
            b6 = w * 0.115926;
            v = static_cast<float>(x);
            power += x * x;
        }
        const double scale = frames > 0 && power > 0 ? rms / std::sqrt(power / double(frames)) : 0.0;
        for (float& v : ch) v = static_cast<float>(v * scale);
    }
    return out;
}

ClickRatio clickRatio(const Planar& out, int64_t from, int64_t to, int64_t reference) {
    auto largestStep = [](const std::vector<float>& x, int64_t a, int64_t b, int64_t* at) {
        a = std::max<int64_t>(a, 1);
        b = std::min<int64_t>(b, static_cast<int64_t>(x.size()));
        double best = 0;
        for (int64_t t = a; t < b; ++t) {
            const double d = std::abs(double(x[size_t(t)]) - x[size_t(t - 1)]);
            if (d > best) {
                best = d;
                if (at) *at = t;
            }
        }
        return best;
    };
    std::vector<double> own(out.size());
    double busiest = 0;
    for (size_t c = 0; c < out.size(); ++c) {
        own[c] = std::max(largestStep(out[c], from - reference, from, nullptr),
                          largestStep(out[c], to, to + reference, nullptr));
        busiest = std::max(busiest, own[c]);
    }
    ClickRatio r;
    for (size_t c = 0; c < out.size(); ++c) {
        int64_t at = -1;
        const double step = largestStep(out[c], from, to, &at);
        const double ref = std::max(own[c], 0.1 * busiest);
        if (ref <= 0) continue;
        if (step / ref > r.ratio) r = {step / ref, step, ref, static_cast<int>(c), at};
    }
    return r;
}

}  // namespace qm::test
