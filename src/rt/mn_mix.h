/* The real-time core (src/rt) is where the render thread's code begins:
 * plain C records and functions, all named with the prefix mn_ and a family
 * word (mn_ring_, mn_slot_, mn_f64_, mn_i64_, mn_mix_, mn_upmix_), with no
 * dependency, no lock, no system call and no allocation outside the create
 * functions. Whatever is named mn_ may be used on the render thread.
 *
 * The mix configuration handed to the render side, the gain-matrix
 * accumulator that applies it, and the floating-point mode of real-time
 * threads.
 *
 * The mix builder owns an mn_mix_config and its matrix; the render path
 * only reads them, after loading the record's pointer from a slot.
 * mn_mix_accumulate skips null outputs and zero gains, so a sparse matrix
 * costs only its non-zero entries; its inner loops are fused multiply-adds,
 * vectorised where the processor has FMA. It never allocates or locks.
 */
#ifndef QM_RT_MN_MIX_H
#define QM_RT_MN_MIX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mn_mix_config {
    int32_t in_channels;  /* columns of the matrix */
    int32_t rows;         /* output rows of the matrix */
    int32_t to_binaural;  /* non-zero: rows feed binaural virtual sources */
    int32_t bin_left;     /* device channel of the binaural left output */
    int32_t bin_right;    /* device channel of the binaural right output */
    /* rows x in_channels gains, row-major: input i to row o at o * in_channels + i */
    const float* matrix;
    void* upmix;          /* upmix context to run before mixing, or null */
    int32_t upmix_offset; /* ring channel of the upmix context's input 0 */
} mn_mix_config;

/* Adds the matrix product of `in` (in_channels planar inputs of `frames`
 * samples) into `out` (out_count planar outputs, any of which may be null);
 * only min(rows, out_count) rows are written. With `ramp` (frames per-frame
 * factors, or null) every gain is scaled per frame, for crossfades. Inputs
 * whose gain is exactly zero are not read. Never clears the outputs. */
void mn_mix_accumulate(const mn_mix_config* config, const float* const* in,
                       int32_t frames, float* const* out, int32_t out_count,
                       const float* ramp);

/* Makes the calling thread flush denormal results and inputs to zero
 * (FTZ/DAZ on x86-64, FZ on AArch64), so that decaying signals never hit
 * the slow path. Call once at the start of each real-time thread. */
void mn_fpu_flush_denormals(void);

/* Non-zero when the processor has AVX2 and FMA. Every hot loop of the
 * system that comes in an AVX2+FMA build and a portable one (here and in
 * the layers above) picks its build by this answer, once, when its library
 * loads; the answer never changes. */
int32_t mn_cpu_has_avx2_fma(void);

#ifdef __cplusplus
}
#endif

#endif
