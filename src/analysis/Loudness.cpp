#include "analysis/Loudness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>

#include "audio/Speakers.h"
#include "rt/mn_mix.h"

namespace qm::Loudness {

namespace {

constexpr double kFloor = -70.0;
constexpr double kOffset = -0.691;  // BS.1770 level offset
constexpr int kTaps = 192;          // interpolation filter length
constexpr int kPhases = 4;
constexpr int kPhaseTaps = kTaps / kPhases;

double lufs(double power) { return power > 0 ? 10.0 * std::log10(power) + kOffset : kFloor; }

const std::vector<SpeakerID>* speakerList(const std::optional<SourceFormat>& source) {
    return source ? source->speakerList() : nullptr;
}

bool isAmbisonic(const std::optional<SourceFormat>& source) {
    return source && source->isAmbisonic();
}

// Runs the shelf and then the high-pass over one or two channels from zero
// state (each stage's output rounded to 32-bit float, as a stored copy would
// be) and stores the mean square of each whole slice of `step` samples. Both
// stages run in one pass so that no filtered copy is needed; two channels go
// together, since each filter waits on its own last output, and the other
// channel's can be worked on meanwhile. (A second channel of null gives
// nothing for it.)
void sliceMeanSquares(const std::vector<float>& x0, const std::vector<float>* x1, size_t n, size_t step,
                      const Biquad& shelf, const Biquad& highPass, std::vector<double>& ms0,
                      std::vector<double>* ms1) {
    Biquad::Runner a0(shelf), b0(highPass), a1(shelf), b1(highPass);
    const auto weighted = [](Biquad::Runner& a, Biquad::Runner& b, float x) {
        const float s1 = static_cast<float>(a(x));
        const float s2 = static_cast<float>(b(s1));
        return static_cast<double>(s2) * s2;
    };
    const auto at = [](const std::vector<float>& x, size_t k) { return k < x.size() ? x[k] : 0.0f; };
    const size_t nSub = n / step;
    ms0.assign(nSub, 0.0);
    if (ms1) ms1->assign(nSub, 0.0);
    for (size_t i = 0; i < nSub; ++i) {
        double sum0 = 0, sum1 = 0;
        if (x1) {
            for (size_t k = i * step, end = k + step; k < end; ++k) {
                sum0 += weighted(a0, b0, at(x0, k));
                sum1 += weighted(a1, b1, at(*x1, k));
            }
            (*ms1)[i] = sum1 / static_cast<double>(step);
        } else {
            for (size_t k = i * step, end = k + step; k < end; ++k) sum0 += weighted(a0, b0, at(x0, k));
        }
        ms0[i] = sum0 / static_cast<double>(step);
    }
}

// The largest magnitude of n samples (0 for none), eight at a time.
float maxMagnitude(const float* p, size_t n) {
    using V4 = float __attribute__((vector_size(16)));
    using U4 = uint32_t __attribute__((vector_size(16)));
    V4 m0{}, m1{};
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        V4 a, b;
        std::memcpy(&a, p + i, sizeof a);
        std::memcpy(&b, p + i + 4, sizeof b);
        a = V4(U4(a) & 0x7fffffffu);
        b = V4(U4(b) & 0x7fffffffu);
        m0 = m0 < a ? a : m0;
        m1 = m1 < b ? b : m1;
    }
    m0 = m0 < m1 ? m1 : m0;
    float r = 0;
    for (int k = 0; k < 4; ++k) r = r < m0[k] ? m0[k] : r;
    for (; i < n; ++i) r = std::max(r, std::abs(p[i]));
    return r;
}

// The 192-tap Blackman-windowed sinc, split into its four phases.
const std::array<std::array<float, kPhaseTaps>, kPhases>& phaseTaps() {
    static const auto taps = [] {
        std::array<std::array<float, kPhaseTaps>, kPhases> t{};
        const double pi = std::numbers::pi;
        for (int n = 0; n < kTaps; ++n) {
            const double x = (n - 95.5) * 0.25;
            const double sinc = x == 0 ? 1.0 : std::sin(pi * x) / (pi * x);
            const double w = 0.42 - 0.5 * std::cos(2 * pi * n / 191.0) +
                             0.08 * std::cos(4 * pi * n / 191.0);
            t[n % kPhases][n / kPhases] = static_cast<float>(sinc * w);
        }
        return t;
    }();
    return taps;
}

}  // namespace

std::pair<Biquad, Biquad> kWeighting(double fs) {
    Biquad shelf;
    {
        const double K = std::tan(5284.078578647628 / fs);
        const double Q = 0.7071752369554196;
        const double Vh = 1.5848647011308556;
        const double Vb = 1.2587209302325617;
        const double a0 = 1 + K / Q + K * K;
        shelf.b0 = (Vh + Vb * K / Q + K * K) / a0;
        shelf.b1 = 2 * (K * K - Vh) / a0;
        shelf.b2 = (Vh - Vb * K / Q + K * K) / a0;
        shelf.a1 = 2 * (K * K - 1) / a0;
        shelf.a2 = (1 - K / Q + K * K) / a0;
    }
    Biquad highPass;
    {
        const double K = std::tan(119.8061151453059 / fs);
        const double Q = 0.5003270373238773;
        const double a0 = 1 + K / Q + K * K;
        highPass.b0 = 1;
        highPass.b1 = -2;
        highPass.b2 = 1;
        highPass.a1 = 2 * (K * K - 1) / a0;
        highPass.a2 = (1 - K / Q + K * K) / a0;
    }
    return {shelf, highPass};
}

std::vector<double> weights(const std::optional<SourceFormat>& source, int channels) {
    std::vector<double> w(static_cast<size_t>(std::max(channels, 0)), 1.0);
    const auto* list = speakerList(source);
    if (!list || static_cast<int>(list->size()) != channels) return w;
    for (size_t i = 0; i < list->size(); ++i) {
        const SpeakerID s = (*list)[i];
        if (s == SpeakerID::LFE) {
            w[i] = 0.0;
            continue;
        }
        const Direction d = speaker::direction(s, *list);
        const double az = std::abs(d.az);
        if (d.el < 30 && az >= 60 && az <= 120) w[i] = 1.41;
    }
    return w;
}

namespace {

constexpr size_t kPeakBlock = 128;

using PhaseTaps = std::array<std::array<float, kPhaseTaps>, kPhases>;

// Raises mx[j] to the magnitude of each phase's output at position j of one
// block; src holds kPeakBlock + 48 input samples.
// Fixed trip counts let the compiler vectorise; on x86-64 the loop is built
// twice, for AVX2 and portably, and the build is chosen once at load.
[[gnu::always_inline]] inline void blockPeakLoop(const float* src, const PhaseTaps& taps, float* mx) {
    alignas(32) float acc[kPeakBlock];
    for (int p = 0; p < kPhases; ++p) {
        for (size_t j = 0; j < kPeakBlock; ++j) acc[j] = 0.0f;
        for (int k = 0; k < kPhaseTaps; ++k) {
            const float h = taps[p][k];
            const float* s = src + k;
            for (size_t j = 0; j < kPeakBlock; ++j) acc[j] += h * s[j];
        }
        for (size_t j = 0; j < kPeakBlock; ++j) {
            const float a = std::abs(acc[j]);
            mx[j] = mx[j] < a ? a : mx[j];
        }
    }
}

using BlockPeakFn = void (*)(const float*, const PhaseTaps&, float*);

void blockPeakPortable(const float* src, const PhaseTaps& taps, float* mx) { blockPeakLoop(src, taps, mx); }

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void blockPeakAvx2(const float* src, const PhaseTaps& taps, float* mx) {
    blockPeakLoop(src, taps, mx);
}
const BlockPeakFn blockPeak = mn_cpu_has_avx2_fma() ? blockPeakAvx2 : blockPeakPortable;
#else
const BlockPeakFn blockPeak = blockPeakPortable;
#endif

}  // namespace

float truePeak(const std::vector<float>& channel) {
    const size_t n = channel.size();
    if (n == 0) return 0.0f;
    const auto& taps = phaseTaps();
    constexpr size_t pad = kPhaseTaps;
    // Every output of the full convolution (n + 48 positions per phase),
    // rounded up to whole blocks; the extra outputs see only zeros. Block b
    // reads inputs b * 128 - 48 ... b * 128 + 127, silence outside the
    // channel: read in place, or, at the two ends, from a padded copy.
    const size_t outputs = n + pad;
    const size_t blocks = (outputs + kPeakBlock - 1) / kPeakBlock;
    std::vector<float> edge(kPeakBlock + pad);
    const auto source = [&](size_t b) -> const float* {
        const auto lo = static_cast<long long>(b * kPeakBlock) - static_cast<long long>(pad);
        const auto hi = lo + static_cast<long long>(kPeakBlock + pad);
        if (lo >= 0 && hi <= static_cast<long long>(n)) return channel.data() + lo;
        for (long long i = lo; i < hi; ++i)
            edge[size_t(i - lo)] = i >= 0 && i < static_cast<long long>(n) ? channel[size_t(i)] : 0.0f;
        return edge.data();
    };
    // No output of a phase exceeds the largest input its taps reach times
    // the sum of its taps' magnitudes. A block whose inputs cannot raise the
    // peak found so far is skipped, which leaves the result exactly as it
    // was; the loudest block goes first so that most of the quiet ones can
    // be, and blocks are short, so that a loud moment keeps little around it
    // from being skipped. (The margin covers the rounding of the bound itself.)
    static const float gain = [&] {
        float g = 0;
        for (const auto& phase : taps) {
            float sum = 0;
            for (float h : phase) sum += std::abs(h);
            g = std::max(g, sum);
        }
        return g * 1.001f;
    }();
    std::vector<float> reach(blocks);
    size_t loudest = 0;
    for (size_t b = 0; b < blocks; ++b) {
        reach[b] = maxMagnitude(source(b), kPeakBlock + pad) * gain;
        if (reach[b] > reach[loudest]) loudest = b;
    }
    std::vector<float> mx(kPeakBlock, 0.0f);
    float found = 0;
    for (size_t k = 0; k < blocks; ++k) {
        const size_t b = k == 0 ? loudest : (k <= loudest ? k - 1 : k);
        if (k > 0 && reach[b] <= found) continue;
        blockPeak(source(b), taps, mx.data());
        found = *std::max_element(mx.begin(), mx.end());
    }
    return found;
}

LoudnessResult measure(const std::vector<std::vector<float>>& channels, double sampleRate,
                       const std::optional<SourceFormat>& source) {
    LoudnessResult r;
    const double minusInf = -std::numeric_limits<double>::infinity();
    r.samplePeak = minusInf;
    r.truePeak = minusInf;

    // Ambisonics is measured on its omnidirectional channel only.
    std::vector<const std::vector<float>*> measured;
    std::vector<double> w;
    if (isAmbisonic(source) && !channels.empty()) {
        r.note = kAmbisonicsNote;
        measured.push_back(&channels[0]);
        w.push_back(1.0);
    } else {
        for (const auto& c : channels) measured.push_back(&c);
        w = weights(source, static_cast<int>(channels.size()));
    }
    if (measured.empty() || measured[0]->empty() || !(sampleRate > 0)) return r;

    const size_t n = measured[0]->size();
    const size_t step = std::max<size_t>(1, static_cast<size_t>(sampleRate * 0.1));
    const size_t blockLength = static_cast<size_t>(sampleRate * 0.4);
    const size_t nSub = n / step;
    const auto [shelf, highPass] = kWeighting(sampleRate);

    // Mean square of every 100 ms slice of every counted channel.
    std::vector<const std::vector<float>*> counted;
    std::vector<double> msWeight;
    for (size_t c = 0; c < measured.size(); ++c) {
        if (!(w[c] > 0)) continue;
        counted.push_back(measured[c]);
        msWeight.push_back(w[c]);
    }
    std::vector<std::vector<double>> ms(counted.size());
    for (size_t c = 0; c < counted.size(); c += 2) {
        const bool pair = c + 1 < counted.size();
        sliceMeanSquares(*counted[c], pair ? counted[c + 1] : nullptr, n, step, shelf, highPass, ms[c],
                         pair ? &ms[c + 1] : nullptr);
    }

    // Momentary blocks: four slices, moving by one.
    std::vector<double> z;
    if (nSub > 3) {
        // Signed division truncates toward zero: a shortfall of less than one
        // step still counts one block.
        const long long byLength =
            (static_cast<long long>(n) - static_cast<long long>(blockLength)) /
                static_cast<long long>(step) + 1;
        const long long blocks = std::min<long long>(static_cast<long long>(nSub) - 3, byLength);
        for (long long j = 0; j < blocks; ++j) {
            double power = 0;
            for (size_t c = 0; c < ms.size(); ++c) {
                const auto& m = ms[c];
                power += msWeight[c] * (m[j] + m[j + 1] + m[j + 2] + m[j + 3]) * 0.25;
            }
            z.push_back(power);
            r.momentaryMax = std::max(r.momentaryMax, lufs(power));
        }
    }

    // Short-term: 3 s windows, or one window over all slices when shorter.
    if (nSub < 30) {
        const double d = nSub > 0 ? static_cast<double>(nSub) : 1.0;
        double power = 0;
        for (size_t c = 0; c < ms.size(); ++c) {
            double sum = 0;
            for (double v : ms[c]) sum += v;
            power += msWeight[c] * sum / d;
        }
        r.shortTermMax = std::max(kFloor, lufs(power));
    } else {
        std::vector<double> running(ms.size(), 0.0);
        for (size_t c = 0; c < ms.size(); ++c)
            for (size_t i = 0; i < 30; ++i) running[c] += ms[c][i];
        for (size_t j = 0; j + 30 <= nSub; ++j) {
            if (j > 0)
                for (size_t c = 0; c < ms.size(); ++c)
                    running[c] += ms[c][j + 29] - ms[c][j - 1];
            double power = 0;
            for (size_t c = 0; c < ms.size(); ++c) power += msWeight[c] * std::max(0.0, running[c]) / 30.0;
            r.shortTermMax = std::max(r.shortTermMax, lufs(power));
        }
    }

    // Integrated: absolute gate at -70 LUFS, then relative gate 10 LU below.
    std::vector<double> kept;
    for (double p : z)
        if (10.0 * std::log10(std::max(p, 1e-12)) + kOffset > kFloor) kept.push_back(p);
    if (!kept.empty()) {
        double mean = 0;
        for (double p : kept) mean += p;
        mean /= static_cast<double>(kept.size());
        const double threshold = lufs(mean) - 10.0;
        double sum = 0;
        size_t count = 0;
        for (double p : kept)
            if (lufs(p) > threshold) {
                sum += p;
                ++count;
            }
        if (count > 0) r.integrated = lufs(sum / static_cast<double>(count));
    }

    // Peaks on the unfiltered samples of every measured channel, LFE included.
    float samplePeak = 0.0f, tp = 0.0f;
    for (const auto* x : measured) {
        samplePeak = std::max(samplePeak, maxMagnitude(x->data(), x->size()));
        tp = std::max(tp, truePeak(*x));
    }
    if (samplePeak > 0) r.samplePeak = 20.0 * std::log10(samplePeak);
    if (tp > 0) r.truePeak = 20.0 * std::log10(std::max(tp, samplePeak));
    return r;
}

}  // namespace qm::Loudness
