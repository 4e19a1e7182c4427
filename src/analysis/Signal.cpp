#include "analysis/Signal.h"

#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "platform/Resampler.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <memory>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace qm {

namespace Signal {

PlanarAudio readPlanar(const std::filesystem::path& url) {
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
        // Each channel sized in place: copies of one zeroed channel would
        // write every page of the whole file once more before it is read.
        out.channels.resize(size_t(channels));
        for (auto& c : out.channels) c.resize(size_t(f.frames));
    } catch (const std::bad_alloc&) {
        throw AppError(40, "File too large to load");
    } catch (const std::length_error&) {
        throw AppError(40, "File too large to load");
    }
    std::vector<float*> ptrs;
    for (auto& c : out.channels) ptrs.push_back(c.data());
    const int64_t got = reader->read(0, ptrs.data(), f.frames);
    for (auto& c : out.channels) c.resize(size_t(std::clamp<int64_t>(got, 0, f.frames)));
    out.damagedFrames = reader->damagedFrames();
    return out;
}

std::vector<float> mono(const std::vector<std::vector<float>>& channels) {
    if (channels.empty()) return {};
    if (channels.size() == 1) return channels[0];
    size_t len = channels[0].size();
    for (const auto& c : channels) len = std::min(len, c.size());
    std::vector<float> sum(len, 0.0f);
    for (const auto& c : channels)
        for (size_t i = 0; i < len; ++i) sum[i] += c[i];
    const float scale = 1.0f / float(channels.size());
    for (float& v : sum) v *= scale;
    return sum;
}

std::vector<float> resample(const std::vector<float>& x, double from, double to) {
    if (std::fabs(from - to) <= 0.5 || x.empty()) return x;
    try {
        MonoResampler r(from, to);
        r.push(x.data(), x.size());
        return r.finish();
    } catch (const std::exception&) {
        // Handled below: an empty signal rather than one at the wrong rate.
    }
    return {};
}

float rms(const std::vector<float>& x, long start, long end) {
    start = std::max(start, 0L);
    end = std::min(end, long(x.size()));
    if (end <= start) return 0;
    double acc = 0;
    for (long i = start; i < end; ++i) acc += double(x[i]) * x[i];
    return float(std::sqrt(acc / double(end - start)));
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
        double acc = 0;
        const float* a = x.data() + k;
        const float* b = x.data();
        for (long j = 0, m = count - k; j < m; ++j) acc += double(a[j]) * b[j];
        r[k] = float(acc);
    }
    return r;
}

}  // namespace Signal

namespace {

constexpr int kHalfTaps = 12;  // odd taps on each side of the centre: 47 taps

// Halves the rate: output m is the filter centred on input 2m. The odd
// input samples carry every tap but the centre, so they are kept apart and
// filtered as one contiguous stream, which vectorises.
struct HalfBandStage {
    std::vector<float> odd;      // odd samples from index 2 (first - kHalfTaps) + 1 on
    std::vector<float> even;     // even samples whose output is still due
    uint64_t received = 0;
    uint64_t produced = 0;

    HalfBandStage() : odd(size_t(kHalfTaps), 0.0f) {}

    // Appends input; writes the outputs whose taps are all in.
    void push(const float* x, size_t n, std::vector<float>& out) {
        const size_t first = received % 2;  // 1 when x[0] is an odd sample
        const size_t e0 = even.size(), o0 = odd.size();
        even.resize(e0 + (n + 1 - first) / 2);
        odd.resize(o0 + (n + first) / 2);
        for (size_t i = first, k = e0; i < n; i += 2, ++k) even[k] = x[i];
        for (size_t i = 1 - first, k = o0; i < n; i += 2, ++k) odd[k] = x[i];
        received += n;
        run(out, false);
    }

    void flush(std::vector<float>& out) {
        // Silence after the end completes the last outputs' taps.
        const uint64_t total = received;
        for (int k = 0; k < 2 * kHalfTaps + 2; ++k, ++received) (received % 2 == 0 ? even : odd).push_back(0.0f);
        run(out, true, (total + 1) / 2);
    }

private:
    void run(std::vector<float>& out, bool last, uint64_t limit = UINT64_MAX) {
        const auto& h = MonoResampler::halfBand();
        // Output m (the m-th even sample, even[m - produced]) needs odd
        // samples m - kHalfTaps ... m + kHalfTaps - 1, at odd[m - produced ...].
        size_t ready = 0;
        if (odd.size() >= size_t(2 * kHalfTaps)) ready = std::min(even.size(), odd.size() - size_t(2 * kHalfTaps) + 1);
        if (last) ready = std::min<uint64_t>(ready, limit - produced);
        if (ready == 0) return;
        const size_t at = out.size();
        out.resize(at + ready);
        // Eight outputs at a time in two vector registers (the build targets
        // plain x86-64, whose compiler does not vectorise this on its own).
        using V = float __attribute__((vector_size(16)));
        const auto load = [](const float* p) {
            V v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        float* y = out.data() + at;
        size_t m = 0;
        for (; m + 8 <= ready; m += 8) {
            V a = h[0] * load(even.data() + m), b = h[0] * load(even.data() + m + 4);
            for (int j = 0; j < kHalfTaps; ++j) {
                const float* lo = odd.data() + m + size_t(kHalfTaps - 1 - j);
                const float* hi = odd.data() + m + size_t(kHalfTaps + j);
                const float c = h[size_t(2 * j + 1)];
                a += c * (load(lo) + load(hi));
                b += c * (load(lo + 4) + load(hi + 4));
            }
            std::memcpy(y + m, &a, sizeof a);
            std::memcpy(y + m + 4, &b, sizeof b);
        }
        for (; m < ready; ++m) {
            float acc = h[0] * even[m];
            for (int j = 0; j < kHalfTaps; ++j)
                acc += h[size_t(2 * j + 1)] * (odd[m + size_t(kHalfTaps - 1 - j)] + odd[m + size_t(kHalfTaps + j)]);
            y[m] = acc;
        }
        produced += ready;
        even.erase(even.begin(), even.begin() + std::ptrdiff_t(ready));
        odd.erase(odd.begin(), odd.begin() + std::ptrdiff_t(ready));
    }
};

int checkedSize(int n) {
    if (n < 2 || !std::has_single_bit(unsigned(n)))
        throw std::invalid_argument("RealFFT size must be a power of two >= 2, got " + std::to_string(n));
    return n;
}
}  // namespace

struct MonoResampler::Stage : HalfBandStage {};

const std::vector<float>& MonoResampler::halfBand() {
    static const std::vector<float> h = [] {
        // A windowed sinc cut at a quarter of the input rate (Blackman
        // window), scaled to a gain of 1 at 0 Hz.
        std::vector<double> d(size_t(2 * kHalfTaps + 1), 0.0);
        double sum = 0;
        for (int k = 0; k <= 2 * kHalfTaps; ++k) {
            if (k != 0 && k % 2 == 0) continue;
            const double x = k * std::numbers::pi / 2;
            const double sinc = k == 0 ? 1.0 : std::sin(x) / x;
            const double t = std::numbers::pi * k / (2 * kHalfTaps + 2);
            const double w = 0.42 + 0.5 * std::cos(t) + 0.08 * std::cos(2 * t);
            d[size_t(k)] = 0.5 * sinc * w;
            sum += k == 0 ? d[0] : 2 * d[size_t(k)];
        }
        std::vector<float> out(d.size());
        for (size_t k = 0; k < d.size(); ++k) out[k] = float(d[k] / sum);
        return out;
    }();
    return h;
}

MonoResampler::MonoResampler(double from, double to) : from_(from), to_(to) {
    if (!(std::isfinite(from) && from > 0 && std::isfinite(to) && to > 0))
        throw std::runtime_error("MonoResampler: sample rates must be positive");
    double r = from;
    while (r > to * (1 + 1e-9) && stages_ < 8) {
        r /= 2;
        ++stages_;
    }
    // Only an exact chain of halvings is filtered here.
    if (std::fabs(r - to) > 1e-9 * to) stages_ = 0;
    for (int i = 0; i < stages_; ++i) chain_.push_back(std::make_unique<Stage>());
}

MonoResampler::~MonoResampler() = default;

void MonoResampler::push(const float* x, size_t n) {
    in_ += n;
    if (stages_ == 0) {
        whole_.insert(whole_.end(), x, x + n);
        return;
    }
    std::vector<float> carried;
    const float* cur = x;
    size_t count = n;
    for (int i = 0; i + 1 < stages_; ++i) {
        std::vector<float> next;
        chain_[size_t(i)]->push(cur, count, next);
        carried = std::move(next);
        cur = carried.data();
        count = carried.size();
    }
    chain_[size_t(stages_ - 1)]->push(cur, count, out_);
}

std::vector<float> MonoResampler::finish() {
    const auto want = size_t(std::llround(double(in_) * to_ / from_));
    std::vector<float> result;
    if (stages_ == 0) {
        if (!whole_.empty()) {
            auto converted = Resampler::resample({whole_}, from_, to_);
            if (converted.size() == 1) result = std::move(converted[0]);
        }
    } else {
        // Each stage's tail goes through the stages after it.
        for (int i = 0; i < stages_; ++i) {
            std::vector<float> tail;
            chain_[size_t(i)]->flush(i + 1 == stages_ ? out_ : tail);
            for (int j = i + 1; j < stages_; ++j) {
                std::vector<float> next;
                chain_[size_t(j)]->push(tail.data(), tail.size(), j + 1 == stages_ ? out_ : next);
                tail = std::move(next);
            }
        }
        result = std::move(out_);
    }
    result.resize(want, 0.0f);
    return result;
}

RealFFT::RealFFT(int size)
    : n(checkedSize(size)),
      log2n(unsigned(std::countr_zero(unsigned(size)))),
      re(size / 2 + 1, 0.0f),
      im(size / 2 + 1, 0.0f),
      plan_(size) {}

void RealFFT::forward(const float* x) { plan_.forward(x, re.data(), im.data()); }

void RealFFT::magnitudes(const float* x, float* out) {
    forward(x);
    for (int k = 0, m = n / 2 + 1; k < m; ++k) out[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
}

}  // namespace qm
