#include "analysis/Loudness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <type_traits>

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

// Runs the shelf and then the high-pass over one or two channels (each
// stage's output rounded to 32-bit float, as a stored copy would be) and
// adds the mean square of each slice of `step` samples that completes, the
// slice under way starting `inSlice` samples before x0[0]. Both stages run
// in one pass so that no filtered copy is needed. Two channels go together,
// one in each half of a pair of doubles: each filter waits on its own last
// output, and one instruction works on both channels meanwhile. Each
// channel's arithmetic is the same, in the same order, as on its own.
using Pair = double __attribute__((vector_size(16)));
template <class T>
using History = Biquad::History<T>;

double toFloat(double v) { return static_cast<float>(v); }
Pair toFloat(Pair v) {
    using FloatPair = float __attribute__((vector_size(8)));
    return __builtin_convertvector(__builtin_convertvector(v, FloatPair), Pair);
}

struct SliceState {
    Biquad shelf, highPass;
    History<double> shelfState, highPassState;
    double sum = 0;
    std::vector<double> ms;
};

void sliceMeanSquares(const float* x0, const float* x1, size_t n, size_t step, size_t inSlice, SliceState& s0,
                      SliceState* s1) {
    // The filters and sums run in locals, where they stay in registers.
    const Biquad shelf = s0.shelf, highPass = s0.highPass;
    const auto run = [&](auto& a, auto& b, auto& sum, auto in, size_t& k, size_t end) {
        for (; k < end; ++k) {
            const auto y = toFloat(highPass.step(b, toFloat(shelf.step(a, in(k)))));
            sum += y * y;
        }
    };
    const auto slices = [&](auto& a, auto& b, auto& sum, auto in, auto keep) {
        size_t k = 0;
        while (k < n) {
            const size_t m = std::min(step - inSlice, n - k);
            run(a, b, sum, in, k, k + m);
            inSlice += m;
            if (inSlice < step) break;
            inSlice = 0;
            keep(sum / static_cast<double>(step));
            sum = std::remove_reference_t<decltype(sum)>{};
        }
    };
    if (x1) {
        const auto pack = [](const History<double>& p, const History<double>& q) {
            return History<Pair>{{p.x1, q.x1}, {p.x2, q.x2}, {p.y1, q.y1}, {p.y2, q.y2}};
        };
        const auto unpack = [](const History<Pair>& v, int i) {
            return History<double>{v.x1[i], v.x2[i], v.y1[i], v.y2[i]};
        };
        History<Pair> a = pack(s0.shelfState, s1->shelfState), b = pack(s0.highPassState, s1->highPassState);
        Pair sum{s0.sum, s1->sum};
        slices(a, b, sum, [&](size_t k) { return Pair{x0[k], x1[k]}; }, [&](Pair ms) {
            s0.ms.push_back(ms[0]);
            s1->ms.push_back(ms[1]);
        });
        s0.shelfState = unpack(a, 0);
        s1->shelfState = unpack(a, 1);
        s0.highPassState = unpack(b, 0);
        s1->highPassState = unpack(b, 1);
        s0.sum = sum[0];
        s1->sum = sum[1];
    } else {
        History<double> a = s0.shelfState, b = s0.highPassState;
        double sum = s0.sum;
        slices(a, b, sum, [&](size_t k) { return double(x0[k]); }, [&](double ms) { s0.ms.push_back(ms); });
        s0.shelfState = a;
        s0.highPassState = b;
        s0.sum = sum;
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
// Sixteen outputs of all four phases are summed at a time, in registers,
// each input loaded once for the four; every output adds its taps in order,
// as a plain loop over the taps would. On x86-64 the loop is built twice,
// for AVX2 and portably, and the build is chosen once at load.
[[gnu::always_inline]] inline void blockPeakLoop(const float* src, const PhaseTaps& taps, float* mx) {
    using V8 = float __attribute__((vector_size(32)));
    using U8 = uint32_t __attribute__((vector_size(32)));
    constexpr size_t kTile = 16;
    const float* t0 = taps[0].data();
    const float* t1 = taps[1].data();
    const float* t2 = taps[2].data();
    const float* t3 = taps[3].data();
    for (size_t j = 0; j < kPeakBlock; j += kTile) {
        // Named, not an array, so that they stay in registers.
        V8 a0{}, b0{}, a1{}, b1{}, a2{}, b2{}, a3{}, b3{};
        const float* s = src + j;
        for (int k = 0; k < kPhaseTaps; ++k) {
            V8 lo, hi;
            std::memcpy(&lo, s + k, sizeof lo);
            std::memcpy(&hi, s + k + 8, sizeof hi);
            a0 += t0[k] * lo;
            b0 += t0[k] * hi;
            a1 += t1[k] * lo;
            b1 += t1[k] * hi;
            a2 += t2[k] * lo;
            b2 += t2[k] * hi;
            a3 += t3[k] * lo;
            b3 += t3[k] * hi;
        }
        const V8 out[2][kPhases] = {{a0, a1, a2, a3}, {b0, b1, b2, b3}};
        for (size_t half = 0; half < 2; ++half) {
            V8 m;
            std::memcpy(&m, mx + j + 8 * half, sizeof m);
            for (const V8& v : out[half]) {
                const V8 a = V8(U8(v) & 0x7fffffffu);
                m = m < a ? a : m;
            }
            std::memcpy(mx + j + 8 * half, &m, sizeof m);
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

// The 4x oversampled true peak of a channel as its samples come. Every
// output of the full convolution is made (n + 48 positions per phase, in
// whole blocks; the extra outputs see only zeros): block b reads inputs
// b * 128 - 48 ... b * 128 + 127, silence before the start and after the
// end.
//
// No output of a phase exceeds the largest input its taps reach times the
// sum of its taps' magnitudes. A block whose inputs cannot raise the peak
// found so far is passed over, which leaves the result exactly as it was.
// So the blocks that might raise it are kept aside, and the loudest of them
// made once a hundred or so are waiting (all at the end): the loudest leave
// most of the rest to pass over, as a loud moment comes anywhere in a piece.
// Blocks are short, so that a loud moment keeps little around it from
// being passed over.
class TruePeak {
public:
    void push(const float* x, size_t n) {
        const uint64_t first = inputs_, end = inputs_ + n;
        // The blocks whose inputs have all come: those that begin before
        // this stretch from the inputs kept, the others in place, loudest
        // first while more remain than can wait (a whole channel pushed at
        // once is made loudest first throughout).
        here_.clear();
        for (uint64_t b = made_; b < end / kPeakBlock; ++b) {
            const int64_t lo = int64_t(b * kPeakBlock) - int64_t(kPhaseTaps);
            if (lo < int64_t(first)) {
                const float* src = edge(lo, x, first, end);
                wait(bound(src), src);
            } else if (const float r = bound(x + (lo - int64_t(first))); r > found_) {
                here_.push_back({r, x + (lo - int64_t(first))});
            }
        }
        made_ = std::max(made_, end / kPeakBlock);
        std::sort(here_.begin(), here_.end(), [](const auto& p, const auto& q) { return p.first > q.first; });
        size_t k = 0;
        for (; k < here_.size() && here_.size() - k > kWaiting - waiting_.size(); ++k)
            make(here_[k].first, here_[k].second);
        for (; k < here_.size(); ++k) wait(here_[k].first, here_[k].second);
        // Keep the inputs the blocks still to come can reach.
        if (n >= kSpan) {
            std::copy(x + n - kSpan, x + n, kept_.begin());
        } else {
            std::copy(kept_.begin() + std::ptrdiff_t(n), kept_.end(), kept_.begin());
            std::copy(x, x + n, kept_.end() - std::ptrdiff_t(n));
        }
        inputs_ = end;
    }

    // The peak as a linear magnitude; the meter is spent.
    float finish() {
        if (inputs_ == 0) return 0.0f;
        // The outputs still due reach 48 inputs past the end, in whole blocks.
        const uint64_t blocks = (inputs_ + kPhaseTaps + kPeakBlock - 1) / kPeakBlock;
        for (uint64_t b = made_; b < blocks; ++b) {
            const float* src = edge(int64_t(b * kPeakBlock) - int64_t(kPhaseTaps), nullptr, inputs_, inputs_);
            wait(bound(src), src);
        }
        made_ = blocks;
        makeWaiting(0);
        return found_;
    }

private:
    static constexpr size_t kSpan = kPeakBlock + kPhaseTaps;  // the inputs one block reads
    static constexpr size_t kWaiting = 128;  // 90 KiB of inputs

    float bound(const float* src) const { return maxMagnitude(src, kSpan) * gain(); }

    void make(float reach, const float* src) {
        if (reach <= found_) return;
        blockPeak(src, phaseTaps(), mx_.data());
        found_ = *std::max_element(mx_.begin(), mx_.end());
    }

    // Keeps a block that might raise the peak aside, its inputs copied.
    void wait(float reach, const float* src) {
        if (reach <= found_) return;
        const size_t slot = waiting_.size();
        waiting_.push_back({reach, slot});
        inputs_of_.resize((slot + 1) * kSpan);
        std::copy(src, src + kSpan, inputs_of_.begin() + std::ptrdiff_t(slot * kSpan));
        if (waiting_.size() >= kWaiting) makeWaiting(kWaiting / 2);
    }

    // Makes the loudest blocks waiting until at most `left` remain that
    // might still raise the peak, and passes over the rest: of those left,
    // a louder block to come may yet make most needless.
    void makeWaiting(size_t left) {
        std::sort(waiting_.begin(), waiting_.end(), [](const auto& p, const auto& q) { return p.first > q.first; });
        size_t k = 0;
        for (; k < waiting_.size() && waiting_[k].first > found_ && waiting_.size() - k > left; ++k)
            make(waiting_[k].first, inputs_of_.data() + waiting_[k].second * kSpan);
        spare_.clear();
        size_t kept = 0;
        for (size_t j = k; j < waiting_.size() && waiting_[j].first > found_; ++j, ++kept) {
            const auto from = inputs_of_.begin() + std::ptrdiff_t(waiting_[j].second * kSpan);
            spare_.insert(spare_.end(), from, from + std::ptrdiff_t(kSpan));
            waiting_[kept] = {waiting_[j].first, kept};
        }
        waiting_.resize(kept);
        inputs_of_.swap(spare_);
    }

    // The inputs from `lo` on of a block that reaches before the stretch x
    // (inputs first ... end - 1), or past the end of the signal: from those
    // kept, the stretch, and silence outside the signal.
    const float* edge(int64_t lo, const float* x, uint64_t first, uint64_t end) {
        for (size_t k = 0; k < kSpan; ++k) {
            const int64_t i = lo + int64_t(k);
            float v = 0.0f;
            if (i >= int64_t(first) && i < int64_t(end))
                v = x[i - int64_t(first)];
            else if (i >= 0 && i < int64_t(first))
                v = kept_[size_t(i - (int64_t(first) - int64_t(kSpan)))];
            edge_[k] = v;
        }
        return edge_.data();
    }

    // The bound's gain, with a margin for the rounding of the bound itself.
    static float gain() {
        static const float g = [] {
            float most = 0;
            for (const auto& phase : phaseTaps()) {
                float sum = 0;
                for (float h : phase) sum += std::abs(h);
                most = std::max(most, sum);
            }
            return most * 1.001f;
        }();
        return g;
    }

    std::array<float, kSpan> kept_{};  // the last inputs (silence before the first)
    std::array<float, kSpan> edge_{};
    std::vector<std::pair<float, const float*>> here_;  // the bound of each block of a stretch, and its inputs
    std::vector<std::pair<float, size_t>> waiting_;  // the bound of each block waiting, and its slot
    std::vector<float> inputs_of_;                   // the inputs of the blocks waiting, slot by slot
    std::vector<float> spare_;                       // where those still waiting move to
    std::array<float, kPeakBlock> mx_{};
    float found_ = 0;
    uint64_t inputs_ = 0;
    uint64_t made_ = 0;  // blocks made, passed over or waiting
};

}  // namespace

float truePeak(const std::vector<float>& channel) {
    if (channel.empty()) return 0.0f;
    TruePeak peak;
    peak.push(channel.data(), channel.size());
    return peak.finish();
}

struct Meter::State {
    std::vector<int> measured;  // channel indices
    std::vector<int> counted;   // of the measured, those with a weight
    std::vector<double> weight; // of the counted
    std::vector<SliceState> slices;
    std::vector<TruePeak> peaks;
    float samplePeak = 0;
    size_t step = 1, blockLength = 0, inSlice = 0;
    uint64_t frames = 0;
    bool ambisonic = false;
};

Meter::Meter(double sampleRate, int channels, const std::optional<SourceFormat>& source)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    // Ambisonics is measured on its omnidirectional channel only.
    std::vector<double> w;
    if (isAmbisonic(source) && channels > 0) {
        s.ambisonic = true;
        s.measured = {0};
        w = {1.0};
    } else {
        for (int c = 0; c < channels; ++c) s.measured.push_back(c);
        w = weights(source, channels);
    }
    if (!(sampleRate > 0)) s.measured.clear();
    s.step = std::max<size_t>(1, static_cast<size_t>(sampleRate * 0.1));
    s.blockLength = static_cast<size_t>(sampleRate * 0.4);
    const auto [shelf, highPass] = kWeighting(sampleRate);
    for (size_t i = 0; i < s.measured.size(); ++i) {
        if (!(w[i] > 0)) continue;
        s.counted.push_back(s.measured[i]);
        s.weight.push_back(w[i]);
        s.slices.push_back({shelf, highPass, {}, {}, 0, {}});
    }
    s.peaks.resize(s.measured.size());
}

Meter::~Meter() = default;

void Meter::push(const float* const* channels, size_t frames) {
    State& s = *state_;
    if (s.measured.empty() || frames == 0) return;
    for (size_t c = 0; c < s.counted.size(); c += 2) {
        const bool pair = c + 1 < s.counted.size();
        sliceMeanSquares(channels[s.counted[c]], pair ? channels[s.counted[c + 1]] : nullptr, frames, s.step,
                         s.inSlice, s.slices[c], pair ? &s.slices[c + 1] : nullptr);
    }
    s.inSlice = static_cast<size_t>((s.inSlice + frames) % s.step);
    // Peaks on the unfiltered samples of every measured channel, LFE included.
    for (size_t i = 0; i < s.measured.size(); ++i) {
        const float* x = channels[s.measured[i]];
        s.samplePeak = std::max(s.samplePeak, maxMagnitude(x, frames));
        s.peaks[i].push(x, frames);
    }
    s.frames += frames;
}

LoudnessResult Meter::finish() {
    State& s = *state_;
    LoudnessResult r;
    const double minusInf = -std::numeric_limits<double>::infinity();
    r.samplePeak = minusInf;
    r.truePeak = minusInf;
    if (s.ambisonic) r.note = kAmbisonicsNote;
    if (s.measured.empty() || s.frames == 0) return r;

    const size_t n = static_cast<size_t>(s.frames);
    const size_t step = s.step;
    const size_t nSub = n / step;
    // Mean square of every 100 ms slice of every counted channel.
    std::vector<const std::vector<double>*> ms;
    for (const auto& slice : s.slices) ms.push_back(&slice.ms);
    const std::vector<double>& msWeight = s.weight;

    // Momentary blocks: four slices, moving by one.
    std::vector<double> z;
    if (nSub > 3) {
        // Signed division truncates toward zero: a shortfall of less than one
        // step still counts one block.
        const long long byLength =
            (static_cast<long long>(n) - static_cast<long long>(s.blockLength)) /
                static_cast<long long>(step) + 1;
        const long long blocks = std::min<long long>(static_cast<long long>(nSub) - 3, byLength);
        for (long long j = 0; j < blocks; ++j) {
            double power = 0;
            for (size_t c = 0; c < ms.size(); ++c) {
                const auto& m = *ms[c];
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
            for (double v : *ms[c]) sum += v;
            power += msWeight[c] * sum / d;
        }
        r.shortTermMax = std::max(kFloor, lufs(power));
    } else {
        std::vector<double> running(ms.size(), 0.0);
        for (size_t c = 0; c < ms.size(); ++c)
            for (size_t i = 0; i < 30; ++i) running[c] += (*ms[c])[i];
        for (size_t j = 0; j + 30 <= nSub; ++j) {
            if (j > 0)
                for (size_t c = 0; c < ms.size(); ++c)
                    running[c] += (*ms[c])[j + 29] - (*ms[c])[j - 1];
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

    float tp = 0.0f;
    for (auto& peak : s.peaks) tp = std::max(tp, peak.finish());
    if (s.samplePeak > 0) r.samplePeak = 20.0 * std::log10(s.samplePeak);
    if (tp > 0) r.truePeak = 20.0 * std::log10(std::max(tp, s.samplePeak));
    return r;
}

LoudnessResult measure(const std::vector<std::vector<float>>& channels, double sampleRate,
                       const std::optional<SourceFormat>& source) {
    Meter meter(sampleRate, static_cast<int>(channels.size()), source);
    if (channels.empty()) return meter.finish();
    // Channels of unequal length (a reader never gives them) are measured
    // over the shortest, as Signal::mono folds them.
    size_t n = channels[0].size();
    std::vector<const float*> at;
    for (const auto& c : channels) {
        n = std::min(n, c.size());
        at.push_back(c.data());
    }
    // Whole, so that the true peak's blocks are made loudest first throughout.
    meter.push(at.data(), n);
    return meter.finish();
}

}  // namespace qm::Loudness
