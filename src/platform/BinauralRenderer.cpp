#include "platform/BinauralRenderer.h"

#include "platform/AppError.h"
#include "platform/FFT.h"
#include "platform/Resampler.h"
#include "platform/SampleRate.h"
#include "rt/mn_mix.h"

#include <fmt/format.h>
#include <mysofa.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qm {

namespace {

constexpr int B = BinauralRenderer::blockSize;
constexpr int N = 2 * B;  // transform size: previous block + current block

// A source's filter slots and who uses them, packed in one atomic word so
// that both threads change them with single compare-and-swaps:
// bits 0-1 the active slot, 2-3 the slot being faded out this block,
// 4-5 the slot waiting to be taken over; `none` marks an empty field.
constexpr uint32_t none = 3;
constexpr uint32_t activeOf(uint32_t s) { return s & 3; }
constexpr uint32_t oldOf(uint32_t s) { return (s >> 2) & 3; }
constexpr uint32_t pendingOf(uint32_t s) { return (s >> 4) & 3; }
constexpr uint32_t pack(uint32_t active, uint32_t old, uint32_t pending) {
    return active | (old << 2) | (pending << 4);
}

// The spectral products run once per partition, ear and source on every
// block. On x86-64 they come in an AVX2+FMA build besides the portable one,
// chosen once when the library loads.
using MultiplyAddFn = void (*)(float* acc, const float* x, const float* h, int bins);
using MultiplyAddDifferenceFn = void (*)(float* acc, const float* x, const float* a,
                                         const float* b, int bins);

// acc += x * h over split-complex spectra (re then im, `bins` each).
void multiplyAddPortable(float* __restrict acc, const float* __restrict x,
                         const float* __restrict h, int bins) {
    float* __restrict accIm = acc + bins;
    const float* __restrict xIm = x + bins;
    const float* __restrict hIm = h + bins;
    for (int k = 0; k < bins; ++k) {
        const float xr = x[k], xi = xIm[k], hr = h[k], hi = hIm[k];
        acc[k] += xr * hr - xi * hi;
        accIm[k] += xr * hi + xi * hr;
    }
}

// acc += x * (a - b): the difference between an old and a new filter's output.
void multiplyAddDifferencePortable(float* __restrict acc, const float* __restrict x,
                                   const float* __restrict a, const float* __restrict b, int bins) {
    float* __restrict accIm = acc + bins;
    const float* __restrict xIm = x + bins;
    for (int k = 0; k < bins; ++k) {
        const float dRe = a[k] - b[k];
        const float dIm = a[bins + k] - b[bins + k];
        acc[k] += x[k] * dRe - xIm[k] * dIm;
        accIm[k] += x[k] * dIm + xIm[k] * dRe;
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void multiplyAddFma(float* acc, const float* x,
                                                        const float* h, int bins) {
    float* accIm = acc + bins;
    const float* xIm = x + bins;
    const float* hIm = h + bins;
    int k = 0;
    for (; k + 8 <= bins; k += 8) {
        const __m256 xr = _mm256_loadu_ps(x + k), xi = _mm256_loadu_ps(xIm + k);
        const __m256 hr = _mm256_loadu_ps(h + k), hi = _mm256_loadu_ps(hIm + k);
        __m256 re = _mm256_fmadd_ps(xr, hr, _mm256_loadu_ps(acc + k));
        __m256 im = _mm256_fmadd_ps(xr, hi, _mm256_loadu_ps(accIm + k));
        _mm256_storeu_ps(acc + k, _mm256_fnmadd_ps(xi, hi, re));
        _mm256_storeu_ps(accIm + k, _mm256_fmadd_ps(xi, hr, im));
    }
    for (; k < bins; ++k) {
        acc[k] += x[k] * h[k] - xIm[k] * hIm[k];
        accIm[k] += x[k] * hIm[k] + xIm[k] * h[k];
    }
}

__attribute__((target("avx2,fma"))) void multiplyAddDifferenceFma(float* acc, const float* x,
                                                                  const float* a, const float* b,
                                                                  int bins) {
    float* accIm = acc + bins;
    const float* xIm = x + bins;
    int k = 0;
    for (; k + 8 <= bins; k += 8) {
        const __m256 dr = _mm256_sub_ps(_mm256_loadu_ps(a + k), _mm256_loadu_ps(b + k));
        const __m256 di = _mm256_sub_ps(_mm256_loadu_ps(a + bins + k), _mm256_loadu_ps(b + bins + k));
        const __m256 xr = _mm256_loadu_ps(x + k), xi = _mm256_loadu_ps(xIm + k);
        __m256 re = _mm256_fmadd_ps(xr, dr, _mm256_loadu_ps(acc + k));
        __m256 im = _mm256_fmadd_ps(xr, di, _mm256_loadu_ps(accIm + k));
        _mm256_storeu_ps(acc + k, _mm256_fnmadd_ps(xi, di, re));
        _mm256_storeu_ps(accIm + k, _mm256_fmadd_ps(xi, dr, im));
    }
    for (; k < bins; ++k) {
        const float dRe = a[k] - b[k];
        const float dIm = a[bins + k] - b[bins + k];
        acc[k] += x[k] * dRe - xIm[k] * dIm;
        accIm[k] += x[k] * dIm + xIm[k] * dRe;
    }
}

const bool kFma = mn_cpu_has_avx2_fma() != 0;
const MultiplyAddFn multiplyAdd = kFma ? multiplyAddFma : multiplyAddPortable;
const MultiplyAddDifferenceFn multiplyAddDifference =
    kFma ? multiplyAddDifferenceFma : multiplyAddDifferencePortable;
#else
const MultiplyAddFn multiplyAdd = multiplyAddPortable;
const MultiplyAddDifferenceFn multiplyAddDifference = multiplyAddDifferencePortable;
#endif

bool isSilent(const float* x, int n) {
    for (int i = 0; i < n; ++i) {
        if (x[i] != 0.0f) return false;
    }
    return true;
}

void unitVector(double azDeg, double elDeg, float* xyz) {
    const double az = azDeg * std::numbers::pi / 180.0;
    const double el = elDeg * std::numbers::pi / 180.0;
    xyz[0] = static_cast<float>(std::cos(el) * std::cos(az));
    xyz[1] = static_cast<float>(std::cos(el) * std::sin(az));
    xyz[2] = static_cast<float>(std::sin(el));
}

}  // namespace

struct BinauralRenderer::Source {
    std::vector<float> window;   // N: the previous and the current input block
    std::vector<float> fdl;      // parts x (re, im): spectra of the last windows
    std::vector<float> filters;  // 3 slots x ears x parts x (re, im)
    std::atomic<uint32_t> state{pack(0, none, none)};
    int silentRun = 0;           // consecutive silent blocks (render thread)
    double azimuth = 0, elevation = 0;  // as last set (control thread)
};

std::filesystem::path BinauralRenderer::defaultHRTFPath() {
    return "/usr/share/libmysofa/default.sofa";
}

BinauralRenderer::BinauralRenderer(double sampleRate, const std::filesystem::path& hrtf)
    : rate_(sampleRate) {
    // The set is read at its own rate; its responses are resampled to ours
    // one direction at a time.
    int err = 0;
    MYSOFA_HRTF* raw = mysofa_load(hrtf.c_str(), &err);
    if (raw && raw->DataSamplingRate.values && raw->DataSamplingRate.elements > 0) {
        setRate_ = raw->DataSamplingRate.values[0];
    }
    if (raw) mysofa_free(raw);
    if (!sampleRate::plausible(rate_))
        throw AppError(-1, fmt::format("Binaural rendering cannot run at {} Hz", rate_));
    if (!raw || !(setRate_ > 0)) {
        throw AppError(err != MYSOFA_OK ? err : -1, "Couldn't load the HRTF set");
    }
    int length = 0;
    MYSOFA_EASY* easy = mysofa_open(hrtf.c_str(), static_cast<float>(setRate_), &length, &err);
    if (!easy || err != MYSOFA_OK || length < 1) {
        if (easy) mysofa_close(easy);
        throw AppError(err != MYSOFA_OK ? err : -1, "Couldn't load the HRTF set");
    }
    sofa_ = easy;
    setLength_ = static_cast<int>(std::lround(length * rate_ / setRate_));

    // Sets that store the onset delays apart from the responses need room
    // to put them back in front of each response.
    irL_.assign(static_cast<size_t>(length), 0.0f);
    irR_.assign(static_cast<size_t>(length), 0.0f);
    const double axes[][2] = {{0, 0}, {90, 0}, {-90, 0}, {180, 0}, {0, 90}, {0, -90}};
    for (const auto& a : axes) {
        float xyz[3];
        unitVector(a[0], a[1], xyz);
        float dl = 0, dr = 0;
        mysofa_getfilter_float(easy, xyz[0], xyz[1], xyz[2], irL_.data(), irR_.data(), &dl, &dr);
        if (dl != 0.0f || dr != 0.0f) delayRoom_ = static_cast<int>(std::ceil(0.002 * rate_));
    }
    filterLength_ = setLength_ + delayRoom_;
    parts_ = std::max(1, (filterLength_ + B - 1) / B);
    bins_ = N / 2 + 1;
    filterFloats_ = static_cast<size_t>(2 * parts_ * 2 * bins_);

    controlPlan_ = std::make_unique<RealFFTPlan>(N);
    renderPlan_ = std::make_unique<RealFFTPlan>(N);
    padded_.assign(N, 0.0f);
    accL_.assign(static_cast<size_t>(2 * bins_), 0.0f);
    accR_ = fadeL_ = fadeR_ = accL_;
    time_.assign(N, 0.0f);
    outL_.assign(B, 0.0f);
    outR_.assign(B, 0.0f);
    fadeOut_.resize(B);
    const float step = 1.0f / static_cast<float>(B);
    for (int t = 0; t < B; ++t) fadeOut_[t] = 1.0f - static_cast<float>(t + 1) * step;

    sources_ = std::make_unique<Source[]>(maxSources);
    for (int s = 0; s < maxSources; ++s) {
        Source& src = sources_[s];
        src.window.assign(N, 0.0f);
        src.fdl.assign(static_cast<size_t>(parts_ * 2 * bins_), 0.0f);
        src.filters.assign(3 * filterFloats_, 0.0f);
        src.silentRun = parts_ + 2;
        if (s == 0) {
            prepareFilter(0.0, 0.0, src.filters.data());
        } else {
            std::copy_n(sources_[0].filters.data(), filterFloats_, src.filters.data());
        }
    }
}

BinauralRenderer::~BinauralRenderer() {
    if (sofa_) mysofa_close(static_cast<MYSOFA_EASY*>(sofa_));
}

void BinauralRenderer::impulseResponse(double azimuthDeg, double elevationDeg,
                                       std::vector<float>& left,
                                       std::vector<float>& right) const {
    float xyz[3];
    unitVector(azimuthDeg, elevationDeg, xyz);
    float dl = 0, dr = 0;
    mysofa_getfilter_float(static_cast<MYSOFA_EASY*>(sofa_), xyz[0], xyz[1], xyz[2],
                           irL_.data(), irR_.data(), &dl, &dr);
    std::vector<std::vector<float>> ears{irL_, irR_};
    if (setRate_ != rate_) {
        // Scaled so that the frequency response keeps its level at the new rate.
        ears = Resampler::resample(ears, setRate_, rate_);
        const float scale = static_cast<float>(setRate_ / rate_);
        for (auto& e : ears) {
            for (float& v : e) v *= scale;
        }
    }
    left.assign(static_cast<size_t>(filterLength_), 0.0f);
    right.assign(static_cast<size_t>(filterLength_), 0.0f);
    auto place = [&](const std::vector<float>& ir, float delay, std::vector<float>& out) {
        int d = std::clamp(static_cast<int>(std::lround(delay * rate_)), 0, delayRoom_);
        size_t n = std::min(ir.size(), out.size() - static_cast<size_t>(d));
        std::copy_n(ir.begin(), n, out.begin() + d);
    };
    place(ears[0], dl, left);
    place(ears[1], dr, right);
}

// Cuts both ears' responses into partitions and transforms each, scaled by
// 1/N so that the unnormalised inverse transform gives the convolution.
void BinauralRenderer::prepareFilter(double az, double el, float* dst) const {
    std::vector<float> ear[2];
    impulseResponse(az, el, ear[0], ear[1]);
    const float scale = 1.0f / static_cast<float>(N);
    for (int e = 0; e < 2; ++e) {
        for (int p = 0; p < parts_; ++p) {
            std::fill(padded_.begin(), padded_.end(), 0.0f);
            int from = p * B;
            int n = std::min(B, filterLength_ - from);
            for (int i = 0; i < n; ++i) padded_[i] = ear[e][from + i] * scale;
            float* re = dst + static_cast<size_t>((e * parts_ + p) * 2 * bins_);
            controlPlan_->forward(padded_.data(), re, re + bins_);
        }
    }
}

void BinauralRenderer::setDirection(int source, double azimuthDeg, double elevationDeg) {
    if (source < 0 || source >= maxSources) return;
    Source& src = sources_[source];
    if (src.azimuth == azimuthDeg && src.elevation == elevationDeg) return;
    src.azimuth = azimuthDeg;
    src.elevation = elevationDeg;
    // Take back a filter the render thread has not picked up yet; from then
    // on it can only finish a fade, so a slot that is neither active nor
    // fading stays free while we write it.
    uint32_t st = src.state.load(std::memory_order_acquire);
    while (!src.state.compare_exchange_weak(st, pack(activeOf(st), oldOf(st), none),
                                            std::memory_order_acq_rel)) {
    }
    uint32_t slot = 0;
    while (slot == activeOf(st) || slot == oldOf(st)) ++slot;
    prepareFilter(azimuthDeg, elevationDeg, src.filters.data() + slot * filterFloats_);
    st = src.state.load(std::memory_order_acquire);
    while (!src.state.compare_exchange_weak(st, pack(activeOf(st), oldOf(st), slot),
                                            std::memory_order_acq_rel)) {
    }
}

void BinauralRenderer::reset() {
    for (int s = 0; s < maxSources; ++s) {
        Source& src = sources_[s];
        std::fill(src.window.begin(), src.window.end(), 0.0f);
        std::fill(src.fdl.begin(), src.fdl.end(), 0.0f);
        src.silentRun = parts_ + 2;
    }
    std::fill(outL_.begin(), outL_.end(), 0.0f);
    std::fill(outR_.begin(), outR_.end(), 0.0f);
    pos_ = 0;
}

bool BinauralRenderer::render(const float* const* sources, int count, uint32_t frames,
                              float* left, float* right) {
    if (frames > kMaxRenderFrames || count > maxSources) return false;
    uint32_t t = 0;
    while (t < frames) {
        const int k = static_cast<int>(std::min<uint32_t>(B - pos_, frames - t));
        for (int s = 0; s < maxSources; ++s) {
            float* w = sources_[s].window.data() + B + pos_;
            if (s < count && sources && sources[s]) {
                std::memcpy(w, sources[s] + t, sizeof(float) * k);
            } else {
                std::memset(w, 0, sizeof(float) * k);
            }
        }
        std::memcpy(left + t, outL_.data() + pos_, sizeof(float) * k);
        std::memcpy(right + t, outR_.data() + pos_, sizeof(float) * k);
        pos_ += k;
        t += static_cast<uint32_t>(k);
        if (pos_ == B) {
            processBlock();
            pos_ = 0;
        }
    }
    return true;
}

void BinauralRenderer::processBlock() {
    const size_t spectrum = static_cast<size_t>(2 * bins_);
    fdlHead_ = (fdlHead_ + 1) % parts_;
    std::fill(accL_.begin(), accL_.end(), 0.0f);
    std::fill(accR_.begin(), accR_.end(), 0.0f);
    bool fading = false;

    for (int s = 0; s < maxSources; ++s) {
        Source& src = sources_[s];
        uint32_t st = src.state.load(std::memory_order_acquire);
        while (pendingOf(st) != none) {
            if (src.state.compare_exchange_weak(st, pack(pendingOf(st), activeOf(st), none),
                                                std::memory_order_acq_rel)) {
                st = pack(pendingOf(st), activeOf(st), none);
                break;
            }
        }
        const bool moving = oldOf(st) != none;

        const bool silent = isSilent(src.window.data() + B, B);
        src.silentRun = silent ? std::min(src.silentRun + 1, parts_ + 2) : 0;
        float* slot = src.fdl.data() + static_cast<size_t>(fdlHead_) * spectrum;
        if (src.silentRun >= 2) {
            // The whole window is silent; its spectrum is zero.
            if (src.silentRun <= parts_ + 1) std::memset(slot, 0, sizeof(float) * spectrum);
        } else {
            renderPlan_->forward(src.window.data(), slot, slot + bins_);
        }
        std::memcpy(src.window.data(), src.window.data() + B, sizeof(float) * B);

        // Once the last parts_ + 1 blocks were silent every window in the
        // delay line is zero and the source adds nothing.
        if (src.silentRun < parts_ + 1) {
            const float* cur = src.filters.data() + activeOf(st) * filterFloats_;
            const float* old = moving ? src.filters.data() + oldOf(st) * filterFloats_ : nullptr;
            if (moving && !fading) {
                std::fill(fadeL_.begin(), fadeL_.end(), 0.0f);
                std::fill(fadeR_.begin(), fadeR_.end(), 0.0f);
                fading = true;
            }
            for (int p = 0; p < parts_; ++p) {
                const float* x =
                    src.fdl.data() + static_cast<size_t>((fdlHead_ - p + parts_) % parts_) * spectrum;
                const size_t l = static_cast<size_t>(p) * spectrum;
                const size_t r = static_cast<size_t>(parts_ + p) * spectrum;
                multiplyAdd(accL_.data(), x, cur + l, bins_);
                multiplyAdd(accR_.data(), x, cur + r, bins_);
                if (old) {
                    multiplyAddDifference(fadeL_.data(), x, old + l, cur + l, bins_);
                    multiplyAddDifference(fadeR_.data(), x, old + r, cur + r, bins_);
                }
            }
        }
        if (moving) {
            st = src.state.load(std::memory_order_acquire);
            while (!src.state.compare_exchange_weak(st, pack(activeOf(st), none, pendingOf(st)),
                                                    std::memory_order_acq_rel)) {
            }
        }
    }

    // Overlap-save: the second half of each inverse transform is valid.
    renderPlan_->inverse(accL_.data(), accL_.data() + bins_, time_.data());
    std::memcpy(outL_.data(), time_.data() + B, sizeof(float) * B);
    renderPlan_->inverse(accR_.data(), accR_.data() + bins_, time_.data());
    std::memcpy(outR_.data(), time_.data() + B, sizeof(float) * B);
    if (fading) {
        // out = new + fadeOut * (old - new): the old responses fade out over this block.
        renderPlan_->inverse(fadeL_.data(), fadeL_.data() + bins_, time_.data());
        for (int t = 0; t < B; ++t) outL_[t] += fadeOut_[t] * time_[B + t];
        renderPlan_->inverse(fadeR_.data(), fadeR_.data() + bins_, time_.data());
        for (int t = 0; t < B; ++t) outR_[t] += fadeOut_[t] * time_[B + t];
    }
}

}  // namespace qm
