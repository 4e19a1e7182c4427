/* The real-time core (src/rt) is where the render thread's code begins:
 * plain C records and functions, all named with the prefix mn_ and a family
 * word (mn_ring_, mn_slot_, mn_f64_, mn_i64_, mn_mix_, mn_upmix_), with no
 * dependency, no lock, no system call and no allocation outside the create
 * functions. Whatever is named mn_ may be used on the render thread.
 *
 * Frequency-domain upmix kernel.
 *
 * A short-time Fourier transform processor (square-root Hann window, hop of
 * a quarter frame) that splits each configured stereo pair of its inputs into
 * a direct (correlated, panned) part and an ambient (uncorrelated) part bin
 * by bin, pans the direct part over the outputs through a pan table, spreads
 * the ambience with per-output gains, spectral curves and decorrelation,
 * passes further inputs straight through, feeds an LFE output and delays each
 * output. What it does is fixed by an mn_upmix_plan record that the engine
 * computes; the kernel knows nothing of speakers or parameters.
 *
 * Threads: mn_upmix_process runs on one real-time thread at a time; it takes
 * no lock, allocates nothing and makes no system call. The only datum shared
 * with other threads is the plan pointer, exchanged by mn_upmix_set_plan
 * (acquire-release) and loaded once per frame. A plan handed over must stay
 * unchanged and alive until the render side can no longer hold it: its owner
 * frees a replaced plan later, off the real-time thread. create, reset and
 * destroy must not run while process runs on the same context.
 *
 * The kernel has no transform of its own: the caller hands it an
 * mn_fft_ops table at creation, whose setups are made and destroyed there
 * and only executed while processing.
 */
#ifndef QM_RT_MN_UPMIX_H
#define QM_RT_MN_UPMIX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    MN_UPMIX_MAX_INPUTS = 16,
    MN_UPMIX_MAX_OUTPUTS = 24,
    MN_UPMIX_MAX_PAIRS = 8,
    MN_UPMIX_MAX_DELAY = 8192,
    MN_UPMIX_DELAY_LINE = 16384
};

/* A real DFT of one length n, in split-complex form (n/2 + 1 bins).
 * forward: X[k] = sum x[j] e^{-2 pi i jk/n}, any constant factor allowed;
 * inverse: the matching real inverse, any constant factor allowed (the
 * kernel measures the round-trip gain once at creation). Bin 0 and bin n/2
 * are real. forward and inverse may not allocate, lock or block: they run
 * on the real-time thread. create and destroy run elsewhere. */
typedef struct mn_fft_ops {
    void* (*create)(int32_t n); /* a setup, or null when it cannot be made */
    void (*destroy)(void* setup);
    void (*forward)(void* setup, const float* x, float* re, float* im);
    void (*inverse)(void* setup, const float* re, const float* im, float* y);
} mn_fft_ops;

/* Everything the kernel does, computed off the real-time thread. outs is
 * the context's output count and bins its bin count; every array is
 * row-major in the order of its dimensions; optional arrays may be null. */
typedef struct mn_upmix_plan {
    int32_t pairs;             /* stereo pairs; only the first 8 are processed */
    const int32_t* pair_in;    /* pairs x 2: left and right input channel */
    int32_t pan_steps;         /* S; a pair is processed only when S >= 2 */
    const float* direct;       /* pairs x outs x S; step i = pan angle i/(S-1) x 90 deg */
    const float* amb_l;        /* pairs x outs */
    const float* amb_r;        /* pairs x outs */
    const float* curve;        /* optional, outs x bins: real gain on the ambience */
    const float* decor_re;     /* optional, outs x bins: complex factor on the ambience */
    const float* decor_im;     /* present whenever decor_re is */
    const float* kappa;        /* optional, pairs: ambient weight (null = 1) */
    int32_t exact;             /* non-zero: exact mode */
    const int32_t* own_l;      /* exact mode, pairs: output reproducing the left input, or -1 */
    const int32_t* own_r;      /* exact mode, pairs */
    const float* fold_l;       /* exact mode, pairs x outs */
    const float* fold_r;       /* exact mode, pairs x outs */
    int32_t routes;
    const int32_t* route_in;   /* routes */
    const int32_t* route_out;  /* routes */
    const float* route_gain;   /* routes */
    int32_t lfe_out;           /* output of the LFE feed, or -1 */
    float lfe_gain;
    const float* lfe_lp;       /* optional, bins: low-pass of the LFE feed (null = no feed) */
    const float* main_hp;      /* optional, bins: gain on every output but lfe_out */
    const float* delay;        /* optional, outs: delay in samples */
} mn_upmix_plan;

typedef struct mn_upmix mn_upmix;

/* Null when in_channels is outside 1...16, out_channels outside 1...24,
 * fft_size outside 256...8192 or not a power of two, fft is null or
 * incomplete, or memory or a transform setup cannot be had. No plan. */
mn_upmix* mn_upmix_create(int32_t in_channels, int32_t out_channels, int32_t fft_size,
                          double sample_rate, const mn_fft_ops* fft);
/* Frees the context and its setups, never the plan; null is ignored. */
void mn_upmix_destroy(mn_upmix* ctx);

int32_t mn_upmix_bins(const mn_upmix* ctx);        /* N/2 + 1 */
int32_t mn_upmix_latency(const mn_upmix* ctx);     /* N frames */
int32_t mn_upmix_in_channels(const mn_upmix* ctx);
/* Frames a context must be fed after its input began (from silence, or
 * from another signal) before its output no longer shows that beginning:
 * its latency, one more transform length for the first frame wholly inside
 * the new input, and the current plan's longest output delay. */
int32_t mn_upmix_settle(const mn_upmix* ctx);

/* Atomic exchange; the new plan applies from the next frame boundary.
 * Returns the previous plan, which the caller still owns. */
const mn_upmix_plan* mn_upmix_set_plan(mn_upmix* ctx, const mn_upmix_plan* plan);

/* Back to the just-created signal state, keeping the plan; each output's
 * delay takes the plan's value at once (no crossfade). */
void mn_upmix_reset(mn_upmix* ctx);

/* in: in_channels pointers (the array or any pointer may be null: silence);
 * out: out_channels pointers (the array or any pointer may be null:
 * discarded). Overwrites frames samples of each output, N frames late. */
void mn_upmix_process(mn_upmix* ctx, const float* const* in, int32_t frames, float* const* out);

#ifdef __cplusplus
}
#endif

#endif
