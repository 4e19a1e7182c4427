/* Uses the real-time core from C, so that its headers stay C. */
#include <stddef.h>

#include "rt/mn_cells.h"
#include "rt/mn_limit.h"
#include "rt/mn_mix.h"
#include "rt/mn_ring.h"

int qm_test_rt_from_c(void) {
    mn_ring* ring = mn_ring_create(1, 4);
    if (!ring) return 1;
    float in[3] = {1.0f, 2.0f, 3.0f};
    double stamps[3] = {10.0, 11.0, 12.0};
    const float* src[1] = {in};
    float out[3] = {0};
    float* dst[1] = {out};
    double last = 0;
    int failures = 0;
    if (mn_ring_write(ring, src, stamps, 3) != 3) ++failures;
    if (mn_ring_read(ring, dst, 3, &last) != 3 || last != 12.0 || out[2] != 3.0f) ++failures;

    float gain = 2.0f;
    mn_mix_config cfg = {1, 1, 0, 0, 1, &gain, NULL, 0};
    float mixed[3] = {0};
    float* outs[1] = {mixed};
    const float* ins[1] = {in};
    mn_mix_accumulate(&cfg, ins, 3, outs, 1, NULL);
    if (mixed[1] != 4.0f) ++failures;

    float loud[3] = {2.0f, -4.0f, 0.25f};
    float* louds[1] = {loud};
    mn_limit* limit = mn_limit_create(1, 1.0f, 0, 4, 10.0);
    if (!limit) return failures + 1;
    mn_limit_process(limit, louds, 1, 3);
    if (loud[0] != 1.0f || loud[1] != -1.0f || !mn_limit_active(limit)) ++failures;
    mn_limit_destroy(limit);

    mn_slot* slot = mn_slot_create();
    mn_slot_store(slot, ring);
    if (mn_slot_load(slot) != ring) ++failures;
    mn_slot_destroy(slot);
    mn_ring_destroy(ring);
    return failures;
}
