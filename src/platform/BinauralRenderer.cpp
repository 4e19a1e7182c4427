#include "platform/BinauralRenderer.h"

#include "platform/AppError.h"
#include "platform/FFT.h"
#include "platform/Resampler.h"
#include "platform/SampleRate.h"
#include "rt/mn_limit.h"
#include "rt/mn_mix.h"

#include <fmt/format.h>
#include <mysofa.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <new>
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

constexpr int kEqualizerFFT = 2048;  // at the set's rate: 21.5 Hz bins at 44.1 kHz
constexpr int kEqualizerTaps = 256;
// Below and above these a set's responses show its loudspeaker's roll-off
// more than the head: the equaliser holds its gain there instead of lifting
// what was never measured.
constexpr double kEqualizerLowHz = 150.0;
constexpr double kEqualizerHighHz = 16000.0;
constexpr double kEqualizerMaxBoostDB = 12.0;

// The set's diffuse-field response: the power of every stored response
// (`count` of `length` taps: each direction, each ear) averaged, then
// smoothed over a sixth of an octave; kEqualizerFFT / 2 + 1 bins.
std::vector<double> diffusePower(const float* responses, size_t count, int length) {
    const int n = kEqualizerFFT, bins = n / 2 + 1;
    RealFFTPlan plan(n);
    std::vector<float> padded(n, 0.0f), re(bins), im(bins);
    std::vector<double> power(bins, 0.0);
    const int taps = std::min(length, n);
    for (size_t i = 0; i < count; ++i) {
        std::copy_n(responses + i * static_cast<size_t>(length), taps, padded.begin());
        plan.forward(padded.data(), re.data(), im.data());
        for (int k = 0; k < bins; ++k) power[k] += double(re[k]) * re[k] + double(im[k]) * im[k];
    }
    for (double& p : power) p /= static_cast<double>(std::max<size_t>(count, 1));
    std::vector<double> prefix(bins + 1, 0.0);
    for (int k = 0; k < bins; ++k) prefix[k + 1] = prefix[k] + power[k];
    std::vector<double> smooth(bins);
    const double half = std::pow(2.0, 1.0 / 12.0);
    for (int k = 0; k < bins; ++k) {
        const int lo = std::clamp(static_cast<int>(std::floor(k / half)), 0, k);
        const int hi = std::clamp(static_cast<int>(std::ceil(k * half)), k, bins - 1);
        smooth[k] = (prefix[hi + 1] - prefix[lo]) / (hi - lo + 1);
    }
    return smooth;
}

// The minimum-phase filter of kEqualizerTaps taps whose magnitude is `gain`
// (kEqualizerFFT / 2 + 1 bins), made through the real cepstrum.
std::vector<float> minimumPhase(const std::vector<double>& gain) {
    const int n = kEqualizerFFT, bins = n / 2 + 1;
    RealFFTPlan plan(n);
    std::vector<float> re(bins), im(bins, 0.0f), cepstrum(n);
    for (int k = 0; k < bins; ++k) re[k] = static_cast<float>(std::log(gain[k]));
    plan.inverse(re.data(), im.data(), cepstrum.data());
    // Folding the cepstrum onto positive quefrencies leaves the minimum-phase
    // spectrum's logarithm (the inverse above is n times too large).
    const float scale = 1.0f / static_cast<float>(n);
    for (int j = 0; j < n; ++j) {
        const float w = j == 0 || j == n / 2 ? 1.0f : (j < n / 2 ? 2.0f : 0.0f);
        cepstrum[j] *= w * scale;
    }
    plan.forward(cepstrum.data(), re.data(), im.data());
    for (int k = 0; k < bins; ++k) {
        const std::complex<double> z = std::exp(std::complex<double>(re[k], im[k]));
        re[k] = static_cast<float>(z.real());
        im[k] = static_cast<float>(z.imag());
    }
    std::vector<float> full(n);
    plan.inverse(re.data(), im.data(), full.data());
    std::vector<float> taps(kEqualizerTaps);
    const int fade = kEqualizerTaps / 4;
    for (int j = 0; j < kEqualizerTaps; ++j) {
        const int intoFade = j - (kEqualizerTaps - fade);
        const double w = intoFade < 0 ? 1.0 : 0.5 + 0.5 * std::cos(std::numbers::pi * (intoFade + 1) / fade);
        taps[j] = static_cast<float>(full[j] * scale * w);
    }
    return taps;
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

    // Diffuse-field equalisation: the set was measured at the ear drum, so
    // every response carries the ear canal's resonance (about +13 dB near
    // 2.3 kHz); headphones add their own. One filter common to every
    // direction and both ears takes out what all directions share, which
    // leaves the interaural level and time differences as they were.
    {
        const MYSOFA_HRTF* set = easy->hrtf;
        const size_t count = static_cast<size_t>(set->M) * set->R;
        std::vector<double> gain = diffusePower(set->DataIR.values, count, static_cast<int>(set->N));
        const double maxBoost = std::pow(10.0, kEqualizerMaxBoostDB / 20.0);
        for (double& g : gain) g = std::min(1.0 / std::sqrt(std::max(g, 1e-30)), maxBoost);
        const double binHz = setRate_ / kEqualizerFFT;
        const int last = static_cast<int>(gain.size()) - 1;
        const int lo = std::clamp(static_cast<int>(std::lround(kEqualizerLowHz / binHz)), 0, last);
        const int hi = std::clamp(static_cast<int>(std::lround(kEqualizerHighHz / binHz)), lo, last);
        std::fill(gain.begin(), gain.begin() + lo, gain[static_cast<size_t>(lo)]);
        std::fill(gain.begin() + hi, gain.end(), gain[static_cast<size_t>(hi)]);
        equalizer_ = minimumPhase(gain);
    }
    setLength_ = static_cast<int>(std::lround((length + kEqualizerTaps - 1) * rate_ / setRate_));

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

    // Linked over both ears; the look-ahead is 1.5 ms, the release 80 ms,
    // and a need is held over the look-ahead.
    const int window = std::max(1, static_cast<int>(std::lround(0.0015 * rate_)));
    limiter_.reset(mn_limit_create(2, limiterThreshold, window - 1, window, 0.08 * rate_));
    if (!limiter_) throw std::bad_alloc();

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

int BinauralRenderer::limiterLookahead() const { return mn_limit_lookahead(limiter_.get()); }

void BinauralRenderer::LimitDeleter::operator()(mn_limit* limit) const { mn_limit_destroy(limit); }

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
    std::vector<std::vector<float>> ears{equalized(irL_), equalized(irR_)};
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

// The response convolved with the diffuse-field equaliser, whole.
std::vector<float> BinauralRenderer::equalized(const std::vector<float>& ir) const {
    std::vector<float> out(ir.size() + equalizer_.size() - 1, 0.0f);
    for (size_t i = 0; i < ir.size(); ++i) {
        if (ir[i] == 0.0f) continue;
        for (size_t j = 0; j < equalizer_.size(); ++j) out[i + j] += ir[i] * equalizer_[j];
    }
    return out;
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
    mn_limit_reset(limiter_.get());
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
        float* const ears[2] = {left + t, right + t};
        mn_limit_process(limiter_.get(), ears, 2, k);
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
