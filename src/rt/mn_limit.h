/* The real-time core (src/rt) is where the render thread's code begins:
 * plain C records and functions, all named with the prefix mn_ and a family
 * word (mn_ring_, mn_slot_, mn_f64_, mn_i64_, mn_mix_, mn_upmix_,
 * mn_limit_), with no dependency, no lock, no system call and no allocation
 * outside the create functions. Whatever is named mn_ may be used on the
 * render thread.
 *
 * The safety peak limiter of every live output: the binaural ears and the
 * speaker paths (the player's and the editor's render, the monitor's
 * chain). One gain, linked over all its channels, so the balance between
 * them is kept. Per frame: the gain the frame needs (threshold / peak, 1 at
 * or below the threshold); the smallest need of the last `hold` frames,
 * held; an exponential release towards 1 (time constant `release` frames)
 * that never rises above the held need and snaps back to exactly 1 within
 * 0.0001 dB; that gain averaged over `lookahead` + 1 frames while the
 * samples are delayed by `lookahead` frames, so that with a look-ahead the
 * gain glides down before the peak arrives and reaches its need exactly
 * when the peak leaves the delay. Without a look-ahead the gain falls on
 * the frame that needs it (nothing is delayed), and a need within 0.0001 dB
 * of 1 acts on its own frame only, unheld.
 *
 * No output sample's magnitude is above the threshold. While every gain is
 * 1 the output is the (delayed) input, bit for bit: a signal that never
 * goes above the threshold passes untouched.
 *
 * A limiter belongs to one thread at a time; process and reset never
 * allocate, lock or call the system.
 */
#ifndef QM_RT_MN_LIMIT_H
#define QM_RT_MN_LIMIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mn_limit mn_limit;

/* A limiter of up to `channels` channels, at rest. `lookahead` is at least
 * 0 and `hold` at least lookahead + 1 frames; `release` is in frames,
 * above 0. Null when a value is out of range or memory cannot be had. */
mn_limit* mn_limit_create(int32_t channels, float threshold, int32_t lookahead, int32_t hold,
                          double release);
void mn_limit_destroy(mn_limit* limit);

/* Back at rest: gain 1, nothing held, the delay silent. */
void mn_limit_reset(mn_limit* limit);

/* Limits `frames` frames of `count` planar channels in place (null entries
 * are skipped; channels beyond the limiter's own count are left as they
 * are and count for nothing). */
void mn_limit_process(mn_limit* limit, float* const* channels, int32_t count, int32_t frames);

/* The frames the output lags the input by. */
int32_t mn_limit_lookahead(const mn_limit* limit);

/* Non-zero when the last frame processed was limited or its gain is still
 * coming back to 1. */
int32_t mn_limit_active(const mn_limit* limit);

#ifdef __cplusplus
}
#endif

#endif
