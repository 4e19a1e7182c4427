#include "analysis/Signal.h"

#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "platform/LargeBuffers.h"
#include "platform/Resampler.h"
#include "rt/mn_mix.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm {

namespace Signal {

namespace {

// Frames decoded at a time: a block of every channel stays in the cache
// while it is folded, converted and measured.
constexpr int64_t kReadBlock = 8192;

// Decodes the file block by block, each block into the buffers that
// `into(done, want, at)` points `at` to, then hands it to `block`. Returns
// the frames read.
template <class Into>
int64_t decode(AudioFileReader& reader, int channels, const Into& into,
               const std::function<void(const Block&)>& block) {
    const AudioStreamFormat& f = reader.format();
    std::vector<float*> at(static_cast<size_t>(channels));
    int64_t done = 0;
    while (done < f.frames) {
        const int64_t want = std::min(kReadBlock, f.frames - done);
        into(done, want, at);
        const int64_t got = std::max<int64_t>(reader.read(done, at.data(), want), 0);
        if (got > 0 && block) block({at.data(), channels, done, got, f.frames, f.sampleRate});
        done += got;
        if (got < want) break;
    }
    return done;
}

}  // namespace

PlanarAudio readPlanar(const std::filesystem::path& url) { return readPlanar(url, {}); }

PlanarAudio readPlanar(const std::filesystem::path& url, const std::function<void(const Block&)>& block) {
    auto reader = AudioFileReader::open(url);
    const AudioStreamFormat& f = reader->format();
    PlanarAudio out;
    out.sampleRate = f.sampleRate;
    const int channels = std::max(f.channels, 0);
    if (f.frames < 1 || channels == 0) {
        out.channels.assign(size_t(std::max(1, channels)), {});
        return out;
    }
    if (f.frames > int64_t(UINT32_MAX)) throw AppError(40, "File too large to load");
    try {
        // Room for the whole file, sized block by block just before each
        // block is read into it: sized at once, the channels would be
        // written whole with zeros that leave the cache before they are
        // overwritten.
        out.channels.resize(size_t(channels));
        for (auto& c : out.channels) reserveLarge(c, size_t(f.frames));
    } catch (const std::bad_alloc&) {
        throw AppError(40, "File too large to load");
    } catch (const std::length_error&) {
        throw AppError(40, "File too large to load");
    }
    const int64_t done = decode(
        *reader, channels,
        [&](int64_t at, int64_t want, std::vector<float*>& to) {
            for (int c = 0; c < channels; ++c) {
                auto& ch = out.channels[size_t(c)];
                ch.resize(size_t(at + want));
                to[size_t(c)] = ch.data() + at;
            }
        },
        block);
    for (auto& c : out.channels) c.resize(size_t(done));
    out.damagedFrames = reader->damagedFrames();
    return out;
}

StreamedAudio readBlocks(const std::filesystem::path& url, const std::function<void(const Block&)>& block) {
    auto reader = AudioFileReader::open(url);
    const AudioStreamFormat& f = reader->format();
    StreamedAudio out;
    out.sampleRate = f.sampleRate;
    out.channels = std::max(f.channels, 0);
    if (f.frames < 1 || out.channels == 0) {
        out.channels = std::max(1, out.channels);
        return out;
    }
    std::vector<float> buffer(size_t(out.channels) * size_t(std::min(kReadBlock, f.frames)));
    const size_t stride = buffer.size() / size_t(out.channels);
    out.frames = decode(
        *reader, out.channels,
        [&](int64_t, int64_t, std::vector<float*>& to) {
            for (size_t c = 0; c < to.size(); ++c) to[c] = buffer.data() + c * stride;
        },
        block);
    out.damagedFrames = reader->damagedFrames();
    return out;
}

void mono(const float* const* channels, int count, size_t frames, float* out) {
    const float scale = 1.0f / float(count);
    const float* __restrict a = channels[0];
    const float* __restrict b = channels[1];
    float* __restrict m = out;
    if (count == 2) {
        for (size_t i = 0; i < frames; ++i) m[i] = (a[i] + b[i]) * scale;
        return;
    }
    for (size_t i = 0; i < frames; ++i) m[i] = a[i] + b[i];
    for (int c = 2; c < count; ++c) {
        const float* __restrict x = channels[c];
        for (size_t i = 0; i < frames; ++i) m[i] += x[i];
    }
    for (size_t i = 0; i < frames; ++i) m[i] *= scale;
}

std::vector<float> mono(const std::vector<std::vector<float>>& channels) {
    if (channels.empty()) return {};
    if (channels.size() == 1) return channels[0];
    size_t len = channels[0].size();
    std::vector<const float*> at;
    for (const auto& c : channels) {
        len = std::min(len, c.size());
        at.push_back(c.data());
    }
    std::vector<float> sum(len);
    mono(at.data(), int(at.size()), len, sum.data());
    return sum;
}

namespace {

bool usableRate(double r) { return std::isfinite(r) && r > 0; }

// Halvings that take `from` exactly to `to` (1 to 3), or 0.
int halvings(double from, double to) {
    double r = from;
    for (int k = 1; k <= 3; ++k) {
        r /= 2;
        if (r == to) return k;
    }
    return 0;
}

}  // namespace

std::vector<float> resample(const std::vector<float>& x, double from, double to) {
    if (std::fabs(from - to) <= 0.5 || x.empty()) return x;
    RateConverter c(from, to, x.size());
    c.push(x.data(), x.size());
    return c.finish();
}

float rms(const std::vector<float>& x, long start, long end) {
    start = std::max(start, 0L);
    end = std::min(end, long(x.size()));
    if (end <= start) return 0;
    // Four running sums, which do not wait on each other.
    double acc[4] = {0, 0, 0, 0};
    long i = start;
    for (; i + 4 <= end; i += 4)
        for (int k = 0; k < 4; ++k) acc[k] += double(x[i + k]) * x[i + k];
    for (; i < end; ++i) acc[0] += double(x[i]) * x[i];
    return float(std::sqrt(((acc[0] + acc[1]) + (acc[2] + acc[3])) / double(end - start)));
}

std::vector<float> hanning(int n) {
    if (n < 2) return {1.0f};
    std::vector<float> w(n);
    for (int i = 0; i < n; ++i) w[i] = float(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / (n - 1)));
    return w;
}

std::vector<float> autocorrelation(const std::vector<float>& x, long maxLag) {
    const long count = long(x.size());
    const long L = std::max(std::min(count, maxLag), 1L);
    std::vector<float> r(L, 0.0f);
    for (long k = 0; k < L; ++k) {
        // Four running sums, which do not wait on each other.
        double acc[4] = {0, 0, 0, 0};
        const float* a = x.data() + k;
        const float* b = x.data();
        const long m = count - k;
        long j = 0;
        for (; j + 4 <= m; j += 4)
            for (int q = 0; q < 4; ++q) acc[q] += double(a[j + q]) * b[j + q];
        for (; j < m; ++j) acc[0] += double(a[j]) * b[j];
        r[k] = float((acc[0] + acc[1]) + (acc[2] + acc[3]));
    }
    return r;
}

// A half-band stage halves the rate: output m is the filter centred on input
// 2m. The odd inputs carry every tap but the centre, so they are kept apart
// as one contiguous stream, which vectorises: with o[i] = x[2i + 1] (and
// silence before the start), output m is
//   c x[2m] + sum_j h_j (o[m - 1 - j] + o[m + j]),  j = 0 ... K - 1.
// Outputs are computed eight at a time and only in whole groups until the
// input ends, so each output is made by the same instructions wherever the
// blocks of input fall.
namespace {

constexpr int kHalfTaps = 20;  // odd offsets on each side of the centre: 4K - 1 = 79 taps
constexpr size_t kGroup = 8;

using HalfBandTaps = std::array<float, kHalfTaps + 1>;  // [0] the centre, [1 + j] = h_j

const HalfBandTaps& halfBandTaps() {
    static const HalfBandTaps taps = [] {
        // A Kaiser-windowed sinc cut at a quarter of the input rate; the
        // odd taps scaled to a gain of 1 at 0 Hz with the centre at one
        // half, so that the response at f and at half the rate less f
        // add up to one.
        constexpr double beta = 10.0;
        const auto i0 = [](double x) {
            double sum = 1, term = 1;
            for (int k = 1; k < 60; ++k) {
                term *= (x / (2 * k)) * (x / (2 * k));
                sum += term;
            }
            return sum;
        };
        std::array<double, kHalfTaps> d{};
        double sum = 0;
        for (int j = 0; j < kHalfTaps; ++j) {
            const int k = 2 * j + 1;
            const double r = double(k) / (2 * kHalfTaps);
            d[size_t(j)] = std::sin(k * std::numbers::pi / 2) / (k * std::numbers::pi) *
                           i0(beta * std::sqrt(1 - r * r)) / i0(beta);
            sum += 2 * d[size_t(j)];
        }
        HalfBandTaps t{};
        t[0] = 0.5f;
        for (int j = 0; j < kHalfTaps; ++j) t[size_t(j + 1)] = float(d[size_t(j)] * 0.5 / sum);
        return t;
    }();
    return taps;
}

// `groups` groups of eight outputs from even[0 ...] and odd[0 ...], where
// odd[t] holds o[m0 - K + t] for the first output m0. The lanes add in the
// same order in both builds (no fused multiply-add), so they agree bit for bit.
[[gnu::always_inline]] inline void halfBandLoop(const float* even, const float* odd, float* y, size_t groups,
                                                const HalfBandTaps& h) {
    using V = float __attribute__((vector_size(32)));
    for (size_t g = 0; g < groups; ++g) {
        const size_t r = g * kGroup;
        V acc, lo, hi;
        std::memcpy(&acc, even + r, sizeof acc);
        acc *= h[0];
        for (int j = 0; j < kHalfTaps; ++j) {
            std::memcpy(&lo, odd + r + size_t(kHalfTaps - 1 - j), sizeof lo);
            std::memcpy(&hi, odd + r + size_t(kHalfTaps + j), sizeof hi);
            acc += h[size_t(j + 1)] * (lo + hi);
        }
        std::memcpy(y + r, &acc, sizeof acc);
    }
}

using HalfBandFn = void (*)(const float*, const float*, float*, size_t, const HalfBandTaps&);

void halfBandPortable(const float* e, const float* o, float* y, size_t groups, const HalfBandTaps& h) {
    halfBandLoop(e, o, y, groups, h);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void halfBandAvx2(const float* e, const float* o, float* y, size_t groups,
                                                  const HalfBandTaps& h) {
    halfBandLoop(e, o, y, groups, h);
}
const HalfBandFn halfBandRun = mn_cpu_has_avx2_fma() ? halfBandAvx2 : halfBandPortable;
#else
const HalfBandFn halfBandRun = halfBandPortable;
#endif

}  // namespace

struct RateConverter::Stage {
    std::vector<float> even;  // x[2m] for the outputs still due, from m0 on
    std::vector<float> odd;   // o[m0 - K] on
    uint64_t received = 0;
    uint64_t produced = 0;

    Stage() : odd(size_t(kHalfTaps), 0.0f) {}

    // Appends to `out` every whole group of outputs the input so far
    // allows; the input is the average of one or two channels, as mono()
    // folds them.
    void push(const float* const* x, int count, size_t n, std::vector<float>& out) {
        const float* a = x[0];
        const float* b = count == 2 ? x[1] : nullptr;
        const auto at = [&](size_t i) { return b ? (a[i] + b[i]) * 0.5f : a[i]; };
        size_t i = 0;
        if (n > 0 && received % 2 == 1) odd.push_back(at(i++));  // an odd input ends the last block
        const size_t pairs = (n - i) / 2;
        const size_t e0 = even.size(), o0 = odd.size();
        even.resize(e0 + pairs);
        odd.resize(o0 + pairs);
        split(a + i, b ? b + i : nullptr, pairs, even.data() + e0, odd.data() + o0);
        i += 2 * pairs;
        if (i < n) even.push_back(at(i));
        received += n;
        run(out);
    }

    // Appends the outputs still due once the input has ended, silence after
    // its end completing their taps and the last group.
    void finish(std::vector<float>& out) {
        const size_t due = size_t((received + 1) / 2 - produced);
        const size_t whole = (due + kGroup - 1) / kGroup * kGroup;
        even.resize(whole, 0.0f);
        odd.resize(whole + 2 * size_t(kHalfTaps) - 1, 0.0f);
        const size_t at = out.size();
        run(out);
        out.resize(at + due);
    }

private:
    // e[k] = m[2k], o[k] = m[2k + 1] for k < pairs, where m is a, or the
    // average of a and b.
    static void split(const float* a, const float* b, size_t pairs, float* __restrict e, float* __restrict o) {
        using V4 = float __attribute__((vector_size(16)));
        size_t k = 0;
        for (; k + 4 <= pairs; k += 4) {
            V4 m0, m1;
            std::memcpy(&m0, a + 2 * k, sizeof m0);
            std::memcpy(&m1, a + 2 * k + 4, sizeof m1);
            if (b) {
                V4 b0, b1;
                std::memcpy(&b0, b + 2 * k, sizeof b0);
                std::memcpy(&b1, b + 2 * k + 4, sizeof b1);
                m0 = (m0 + b0) * 0.5f;
                m1 = (m1 + b1) * 0.5f;
            }
            const V4 ev = __builtin_shufflevector(m0, m1, 0, 2, 4, 6);
            const V4 od = __builtin_shufflevector(m0, m1, 1, 3, 5, 7);
            std::memcpy(e + k, &ev, sizeof ev);
            std::memcpy(o + k, &od, sizeof od);
        }
        for (; k < pairs; ++k) {
            e[k] = b ? (a[2 * k] + b[2 * k]) * 0.5f : a[2 * k];
            o[k] = b ? (a[2 * k + 1] + b[2 * k + 1]) * 0.5f : a[2 * k + 1];
        }
    }

    void run(std::vector<float>& out) {
        size_t ready = 0;
        if (odd.size() >= 2 * size_t(kHalfTaps)) ready = std::min(even.size(), odd.size() - 2 * size_t(kHalfTaps) + 1);
        const size_t groups = ready / kGroup, made = groups * kGroup;
        if (made == 0) return;
        const size_t at = out.size();
        out.resize(at + made);
        halfBandRun(even.data(), odd.data(), out.data() + at, groups, halfBandTaps());
        even.erase(even.begin(), even.begin() + std::ptrdiff_t(made));
        odd.erase(odd.begin(), odd.begin() + std::ptrdiff_t(made));
        produced += made;
    }
};

RateConverter::RateConverter(double from, double to, size_t expected)
    : from_(from), to_(to), valid_(usableRate(from) && usableRate(to)), same_(std::fabs(from - to) <= 0.5) {
    if (same_) {
        reserveLarge(out_, expected);
        return;
    }
    if (!valid_) return;
    const int n = halvings(from, to);
    for (int i = 0; i < n; ++i) chain_.push_back(std::make_unique<Stage>());
    if (n == 0) {
        try {
            platform_ = std::make_unique<BlockResampler>(from, to, 1);
        } catch (const std::exception&) {
            valid_ = false;  // finish() says so: an empty signal rather than one at the wrong rate
            return;
        }
    }
    reserveLarge(out_, size_t(std::ceil(double(expected) * to / from)) + kGroup);
}

RateConverter::~RateConverter() = default;

void RateConverter::push(const float* x, size_t n) { push(&x, 1, n); }

void RateConverter::push(const float* const* channels, int count, size_t frames) {
    if (count < 1) return;
    in_ += frames;
    if (!same_ && !valid_) return;
    if (same_) {
        const size_t at = out_.size();
        out_.resize(at + frames);
        if (count == 1)
            std::copy(channels[0], channels[0] + frames, out_.data() + at);
        else
            mono(channels, count, frames, out_.data() + at);
        return;
    }
    const float* folded = nullptr;
    if (count > 2 || (platform_ && count > 1)) {
        // Folded here once: the first half-band stage folds one or two
        // channels itself, the platform's converter takes one.
        fold_.resize(frames);
        mono(channels, count, frames, fold_.data());
        folded = fold_.data();
        channels = &folded;
        count = 1;
    }
    if (platform_) {
        platform_->push(channels, frames, &out_);
        return;
    }
    std::vector<float> y;
    chain_[0]->push(channels, count, frames, chain_.size() == 1 ? out_ : y);
    feed(1, std::move(y));
}

void RateConverter::feed(size_t first, std::vector<float> x) {
    for (size_t j = first; j < chain_.size(); ++j) {
        std::vector<float> next;
        const float* p = x.data();
        chain_[j]->push(&p, 1, x.size(), j + 1 == chain_.size() ? out_ : next);
        x = std::move(next);
    }
}

std::vector<float> RateConverter::finish() {
    if (same_) return std::move(out_);
    if (!valid_) return {};
    if (platform_) {
        try {
            platform_->finish(&out_);
        } catch (const std::exception&) {
            return {};
        }
        return std::move(out_);
    }
    // Each stage's last outputs go through the stages after it.
    for (size_t i = 0; i < chain_.size(); ++i) {
        std::vector<float> tail;
        chain_[i]->finish(i + 1 == chain_.size() ? out_ : tail);
        feed(i + 1, std::move(tail));
    }
    // Each halving rounds its count up; the result keeps round(n x to / from).
    out_.resize(std::min(out_.size(), size_t(std::llround(double(in_) * to_ / from_))));
    return std::move(out_);
}

const std::vector<float>& RateConverter::halfBand() {
    static const std::vector<float> taps(halfBandTaps().begin(), halfBandTaps().end());
    return taps;
}

}  // namespace Signal

namespace {
int checkedSize(int n) {
    if (n < 2 || !std::has_single_bit(unsigned(n)))
        throw std::invalid_argument("RealFFT size must be a power of two >= 2, got " + std::to_string(n));
    return n;
}
}  // namespace

namespace {

// Prepared transforms no RealFFT uses at the moment, by size. Never freed:
// a plan is destroyed under its library's lock, which may be gone by the
// time statics are destroyed at exit.
struct PlanShelf {
    std::mutex mutex;
    std::unordered_map<int, std::vector<std::unique_ptr<RealFFTPlan>>> idle;
};

PlanShelf& planShelf() {
    static auto* shelf = new PlanShelf;
    return *shelf;
}

std::unique_ptr<RealFFTPlan> takePlan(int n) {
    {
        PlanShelf& shelf = planShelf();
        std::lock_guard lock(shelf.mutex);
        auto& idle = shelf.idle[n];
        if (!idle.empty()) {
            auto plan = std::move(idle.back());
            idle.pop_back();
            return plan;
        }
    }
    return std::make_unique<RealFFTPlan>(n, RealFFTPlan::Directions::forwardOnly);
}

}  // namespace

RealFFT::RealFFT(int size)
    : n(checkedSize(size)),
      log2n(unsigned(std::countr_zero(unsigned(size)))),
      re(size / 2 + 1, 0.0f),
      im(size / 2 + 1, 0.0f),
      plan_(takePlan(size)) {}

RealFFT::~RealFFT() {
    PlanShelf& shelf = planShelf();
    std::lock_guard lock(shelf.mutex);
    try {
        shelf.idle[n].push_back(std::move(plan_));
    } catch (const std::bad_alloc&) {
        // Not kept: the plan goes with this object.
    }
}

void RealFFT::forward(const float* x) { plan_->forward(x, re.data(), im.data()); }

void RealFFT::magnitudes(const float* x, float* out) {
    forward(x);
    int k = 0;
    const int m = n / 2 + 1;
#if defined(__SSE2__)
    // Four at a time: the same correctly rounded square roots.
    for (; k + 4 <= m; k += 4) {
        const __m128 r = _mm_loadu_ps(re.data() + k), i = _mm_loadu_ps(im.data() + k);
        _mm_storeu_ps(out + k, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(r, r), _mm_mul_ps(i, i))));
    }
#endif
    for (; k < m; ++k) out[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
}

}  // namespace qm
