/* The real-time core (src/rt) is where the render thread's code begins:
 * plain C records and functions, all named with the prefix mn_ and a family
 * word (mn_ring_, mn_slot_, mn_f64_, mn_i64_, mn_mix_, mn_upmix_), with no
 * dependency, no lock, no system call and no allocation outside the create
 * functions. Whatever is named mn_ may be used on the render thread.
 *
 * Lock-free single-producer, single-consumer ring of planar float frames.
 *
 * Every frame carries a stamp: the source position (in source frames) it
 * came from, which the render side turns into the play position. The ring
 * serves one stream: it is filled by exactly one writer thread at a time
 * (the stream reader), drained by exactly one reader thread (the render
 * callback), marked at end of stream once, and destroyed when neither side
 * can touch it any more.
 *
 * Thread rules: mn_ring_write, mn_ring_write_space and mn_ring_set_eof
 * belong to the writer; mn_ring_read and mn_ring_available to the reader;
 * mn_ring_eof and mn_ring_channels to anyone. Apart from create and
 * destroy, nothing here allocates, locks, blocks or makes a system call.
 * The counters are 64-bit totals that never wrap in practice and are never
 * reset; the capacity stays below 2^31 frames so that counts fit 32 bits.
 */
#ifndef QM_RT_MN_RING_H
#define QM_RT_MN_RING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mn_ring mn_ring;

/* A ring of `channels` circular buffers of `capacity` frames (only frames
 * written are ever read: the memory is not cleared, so its pages are
 * touched first by the writer, as it fills them).
 * Null when either count is below 1 or memory cannot be had (nothing then
 * stays allocated). */
mn_ring* mn_ring_create(int32_t channels, int32_t capacity);
/* Frees the ring; null is ignored. */
void mn_ring_destroy(mn_ring* ring);

int32_t mn_ring_channels(const mn_ring* ring);

/* Writer side: frames that can be written now. */
int32_t mn_ring_write_space(const mn_ring* ring);
/* Reader side: frames that can be read now. */
int32_t mn_ring_available(const mn_ring* ring);

/* Copies up to `frames` frames from `src` (one planar buffer per channel)
 * with their stamps (`frames` doubles, never null). Returns the frames
 * written: fewer than asked, possibly 0, when the ring is full. */
int32_t mn_ring_write(mn_ring* ring, const float* const* src,
                      const double* stamps, int32_t frames);

/* Copies up to `frames` frames into `dst` (one buffer per channel, each at
 * least `frames` long). When `last_stamp` is given and anything was read,
 * it receives the stamp of the last frame read; otherwise it keeps its
 * value. Returns the frames read (0 when the ring is empty). */
int32_t mn_ring_read(mn_ring* ring, float* const* dst, int32_t frames,
                     double* last_stamp);

/* End of stream: set once by the writer, never cleared. */
void mn_ring_set_eof(mn_ring* ring);
int32_t mn_ring_eof(const mn_ring* ring);

#ifdef __cplusplus
}
#endif

#endif
