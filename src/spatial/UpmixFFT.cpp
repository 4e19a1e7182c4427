#include "spatial/UpmixFFT.h"

#include "platform/FFT.h"

#include <new>

namespace qm::UpmixFFT {

namespace {

void* create(int32_t n) {
    try {
        return new RealFFTPlan(n);
    } catch (...) {
        return nullptr;
    }
}

void destroy(void* setup) { delete static_cast<RealFFTPlan*>(setup); }

void forward(void* setup, const float* x, float* re, float* im) {
    static_cast<RealFFTPlan*>(setup)->forward(x, re, im);
}

void inverse(void* setup, const float* re, const float* im, float* y) {
    static_cast<RealFFTPlan*>(setup)->inverse(re, im, y);
}

constexpr mn_fft_ops kOps{create, destroy, forward, inverse};

}  // namespace

const mn_fft_ops* ops() { return &kOps; }

}  // namespace qm::UpmixFFT
