/* The real-time core (src/rt) is where the render thread's code begins:
 * plain C records and functions, all named with the prefix mn_ and a family
 * word (mn_ring_, mn_slot_, mn_f64_, mn_i64_, mn_mix_, mn_upmix_), with no
 * dependency, no lock, no system call and no allocation outside the create
 * functions. Whatever is named mn_ may be used on the render thread.
 *
 * Atomic 8-byte cells that carry single values between the main thread and
 * the render thread: a pointer slot (the current ring or mix configuration),
 * a double (gain, play position) and a 64-bit integer (end-of-stream flag).
 *
 * Every hand-over is one writer storing a whole value (sequentially
 * consistent) and readers loading it (acquire), so a record published in a
 * slot after it was fully built is seen with its contents. There is no
 * exchange. Whoever loads a slot never frees what it got: replaced objects
 * are freed later by their owner, off the real-time thread.
 *
 * Cells are made by their create function and freed by their destroy
 * function (null is ignored), once no thread can touch them any more.
 * Loads and stores never allocate, lock or make a system call.
 */
#ifndef QM_RT_MN_CELLS_H
#define QM_RT_MN_CELLS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mn_slot mn_slot;
typedef struct mn_f64 mn_f64;
typedef struct mn_i64 mn_i64;

/* A slot holding the null pointer; null when memory cannot be had. */
mn_slot* mn_slot_create(void);
void mn_slot_store(mn_slot* slot, void* value);
void* mn_slot_load(const mn_slot* slot);
void mn_slot_destroy(mn_slot* slot);

mn_f64* mn_f64_create(double initial);
void mn_f64_store(mn_f64* cell, double value);
double mn_f64_load(const mn_f64* cell);
void mn_f64_destroy(mn_f64* cell);

mn_i64* mn_i64_create(int64_t initial);
void mn_i64_store(mn_i64* cell, int64_t value);
int64_t mn_i64_load(const mn_i64* cell);
void mn_i64_destroy(mn_i64* cell);

#ifdef __cplusplus
}
#endif

#endif
