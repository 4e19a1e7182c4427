// The accumulator's inner loops are single fused multiply-adds per sample.
// On x86-64 the loops come in two builds: AVX2+FMA (eight lanes per
// instruction) and a portable one; the choice is made once when the library
// loads, so the real-time thread never pays for it. Without hardware FMA a
// fused multiply-add would be a library call per sample.
#include "rt/mn_mix.h"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QM_RT_X86 1
#endif

namespace {

using AddFn = void (*)(float* __restrict out, const float* __restrict in, float g, int32_t n);
using RampFn = void (*)(float* __restrict out, const float* __restrict in, float g,
                        const float* __restrict ramp, int32_t n);

void addPortable(float* __restrict out, const float* __restrict in, float g, int32_t n) {
    for (int32_t k = 0; k < n; ++k) out[k] = std::fma(g, in[k], out[k]);
}

void addRampPortable(float* __restrict out, const float* __restrict in, float g,
                     const float* __restrict ramp, int32_t n) {
    for (int32_t k = 0; k < n; ++k) out[k] = std::fma(g * ramp[k], in[k], out[k]);
}

#ifdef QM_RT_X86
__attribute__((target("avx2,fma"))) void addFma(float* __restrict out, const float* __restrict in,
                                                float g, int32_t n) {
    const __m256 gv = _mm256_set1_ps(g);
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 o = _mm256_loadu_ps(out + k);
        _mm256_storeu_ps(out + k, _mm256_fmadd_ps(gv, _mm256_loadu_ps(in + k), o));
    }
    for (; k < n; ++k) out[k] = __builtin_fmaf(g, in[k], out[k]);
}

__attribute__((target("avx2,fma"))) void addRampFma(float* __restrict out,
                                                    const float* __restrict in, float g,
                                                    const float* __restrict ramp, int32_t n) {
    const __m256 gv = _mm256_set1_ps(g);
    int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 gr = _mm256_mul_ps(gv, _mm256_loadu_ps(ramp + k));
        const __m256 o = _mm256_loadu_ps(out + k);
        _mm256_storeu_ps(out + k, _mm256_fmadd_ps(gr, _mm256_loadu_ps(in + k), o));
    }
    for (; k < n; ++k) out[k] = __builtin_fmaf(g * ramp[k], in[k], out[k]);
}

const bool kFma = mn_cpu_has_avx2_fma() != 0;
const AddFn kAdd = kFma ? addFma : addPortable;
const RampFn kAddRamp = kFma ? addRampFma : addRampPortable;
#else
const AddFn kAdd = addPortable;
const RampFn kAddRamp = addRampPortable;
#endif

}  // namespace

extern "C" {

int32_t mn_cpu_has_avx2_fma(void) {
#ifdef QM_RT_X86
    // May run before any constructor (a static initialiser asks): the
    // feature table is filled first.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return 0;
#endif
}

void mn_mix_accumulate(const mn_mix_config* config, const float* const* in, int32_t frames,
                       float* const* out, int32_t out_count, const float* ramp) {
    const int32_t rows = config->rows < out_count ? config->rows : out_count;
    if (rows < 1 || frames < 1) return;
    const int32_t cols = config->in_channels;
    for (int32_t o = 0; o < rows; ++o) {
        float* dst = out[o];
        if (!dst) continue;
        const float* gains = config->matrix + static_cast<int64_t>(o) * cols;
        for (int32_t i = 0; i < cols; ++i) {
            const float g = gains[i];
            if (g == 0.0f) continue;  // also -0.0: the input is not even read
            if (ramp)
                kAddRamp(dst, in[i], g, ramp, frames);
            else
                kAdd(dst, in[i], g, frames);
        }
    }
}

void mn_fpu_flush_denormals(void) {
#ifdef QM_RT_X86
    // FTZ (bit 15) and DAZ (bit 6) of MXCSR.
    _mm_setcsr(_mm_getcsr() | 0x8040u);
#elif defined(__aarch64__)
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    fpcr |= (1ull << 24);  // FZ
    __asm__ volatile("msr fpcr, %0" : : "r"(fpcr));
#endif
}

}  // extern "C"
