// Each cell is one separately allocated 8-byte atomic word.
#include "rt/mn_cells.h"

#include <atomic>
#include <new>

struct mn_slot {
    std::atomic<void*> value{nullptr};
};
struct mn_f64 {
    std::atomic<double> value{0.0};
};
struct mn_i64 {
    std::atomic<int64_t> value{0};
};

static_assert(std::atomic<void*>::is_always_lock_free && sizeof(mn_slot) == 8);
static_assert(std::atomic<double>::is_always_lock_free && sizeof(mn_f64) == 8);
static_assert(std::atomic<int64_t>::is_always_lock_free && sizeof(mn_i64) == 8);

extern "C" {

mn_slot* mn_slot_create(void) { return new (std::nothrow) mn_slot; }

void mn_slot_store(mn_slot* slot, void* value) {
    slot->value.store(value, std::memory_order_seq_cst);
}

void* mn_slot_load(const mn_slot* slot) { return slot->value.load(std::memory_order_acquire); }

void mn_slot_destroy(mn_slot* slot) { delete slot; }

mn_f64* mn_f64_create(double initial) {
    auto* cell = new (std::nothrow) mn_f64;
    if (cell) cell->value.store(initial, std::memory_order_seq_cst);
    return cell;
}

void mn_f64_store(mn_f64* cell, double value) {
    cell->value.store(value, std::memory_order_seq_cst);
}

double mn_f64_load(const mn_f64* cell) { return cell->value.load(std::memory_order_acquire); }

void mn_f64_destroy(mn_f64* cell) { delete cell; }

mn_i64* mn_i64_create(int64_t initial) {
    auto* cell = new (std::nothrow) mn_i64;
    // Not yet shared: a plain store is enough.
    if (cell) cell->value.store(initial, std::memory_order_relaxed);
    return cell;
}

void mn_i64_store(mn_i64* cell, int64_t value) {
    cell->value.store(value, std::memory_order_seq_cst);
}

int64_t mn_i64_load(const mn_i64* cell) { return cell->value.load(std::memory_order_acquire); }

void mn_i64_destroy(mn_i64* cell) { delete cell; }

}  // extern "C"
