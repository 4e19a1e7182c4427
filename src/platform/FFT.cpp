#include "platform/FFT.h"

#include <fftw3.h>

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace qm {

namespace {

// FFTW's planner and plan destruction share global state.
std::mutex& plannerMutex() {
    static std::mutex m;
    return m;
}

template <class T>
struct FftwFree {
    void operator()(T* p) const { fftwf_free(p); }
};
template <class T>
using FftwBuffer = std::unique_ptr<T, FftwFree<T>>;

bool sameAlignment(const void* a, const void* b) {
    return fftwf_alignment_of(const_cast<float*>(static_cast<const float*>(a))) ==
           fftwf_alignment_of(const_cast<float*>(static_cast<const float*>(b)));
}

}  // namespace

struct RealFFTPlan::Impl {
    FftwBuffer<float> real;
    FftwBuffer<fftwf_complex> spectrum;
    fftwf_plan fwd = nullptr;
    fftwf_plan inv = nullptr;
};

RealFFTPlan::RealFFTPlan(int n, Directions directions) : n_(n), impl_(std::make_unique<Impl>()) {
    if (n < 2) throw std::invalid_argument("FFT size must be at least 2, got " + std::to_string(n));
    impl_->real.reset(fftwf_alloc_real(static_cast<size_t>(n)));
    impl_->spectrum.reset(fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1)));
    if (!impl_->real || !impl_->spectrum) throw std::bad_alloc();
    std::lock_guard lock(plannerMutex());
    // FFTW_ESTIMATE leaves the buffers untouched and plans without trial
    // transforms (yet a process's first plan takes milliseconds, as the
    // planner sets itself up); the plans stay valid for any array of the
    // same alignment.
    impl_->fwd = fftwf_plan_dft_r2c_1d(n, impl_->real.get(), impl_->spectrum.get(), FFTW_ESTIMATE);
    if (directions == Directions::both)
        impl_->inv = fftwf_plan_dft_c2r_1d(n, impl_->spectrum.get(), impl_->real.get(), FFTW_ESTIMATE);
    if (!impl_->fwd || (directions == Directions::both && !impl_->inv)) {
        if (impl_->fwd) fftwf_destroy_plan(impl_->fwd);
        if (impl_->inv) fftwf_destroy_plan(impl_->inv);
        throw std::runtime_error("FFT planner failed for size " + std::to_string(n));
    }
}

RealFFTPlan::~RealFFTPlan() {
    std::lock_guard lock(plannerMutex());
    fftwf_destroy_plan(impl_->fwd);
    if (impl_->inv) fftwf_destroy_plan(impl_->inv);
}

void RealFFTPlan::forward(const float* x, std::complex<float>* X) {
    float* in = const_cast<float*>(x);  // r2c out of place leaves its input intact
    auto* out = reinterpret_cast<fftwf_complex*>(X);
    const bool inOk = sameAlignment(in, impl_->real.get());
    const bool outOk = sameAlignment(out, impl_->spectrum.get());
    if (!inOk) {
        std::memcpy(impl_->real.get(), x, sizeof(float) * static_cast<size_t>(n_));
        in = impl_->real.get();
    }
    if (outOk) {
        fftwf_execute_dft_r2c(impl_->fwd, in, out);
    } else {
        fftwf_execute_dft_r2c(impl_->fwd, in, impl_->spectrum.get());
        std::memcpy(out, impl_->spectrum.get(), sizeof(fftwf_complex) * static_cast<size_t>(bins()));
    }
}

void RealFFTPlan::forward(const float* x, float* re, float* im) {
    float* in = const_cast<float*>(x);
    if (!sameAlignment(in, impl_->real.get())) {
        std::memcpy(impl_->real.get(), x, sizeof(float) * static_cast<size_t>(n_));
        in = impl_->real.get();
    }
    fftwf_execute_dft_r2c(impl_->fwd, in, impl_->spectrum.get());
    const fftwf_complex* s = impl_->spectrum.get();
    for (int k = 0, m = bins(); k < m; ++k) {
        re[k] = s[k][0];
        im[k] = s[k][1];
    }
}

void RealFFTPlan::inverse(const std::complex<float>* X, float* y) {
    // c2r overwrites its input: always work on the plan's own copy.
    std::memcpy(impl_->spectrum.get(), X, sizeof(fftwf_complex) * static_cast<size_t>(bins()));
    if (sameAlignment(y, impl_->real.get())) {
        fftwf_execute_dft_c2r(impl_->inv, impl_->spectrum.get(), y);
    } else {
        fftwf_execute(impl_->inv);
        std::memcpy(y, impl_->real.get(), sizeof(float) * static_cast<size_t>(n_));
    }
}

void RealFFTPlan::inverse(const float* re, const float* im, float* y) {
    fftwf_complex* s = impl_->spectrum.get();
    for (int k = 0, m = bins(); k < m; ++k) {
        s[k][0] = re[k];
        s[k][1] = im[k];
    }
    if (sameAlignment(y, impl_->real.get())) {
        fftwf_execute_dft_c2r(impl_->inv, s, y);
    } else {
        fftwf_execute(impl_->inv);
        std::memcpy(y, impl_->real.get(), sizeof(float) * static_cast<size_t>(n_));
    }
}

}  // namespace qm
