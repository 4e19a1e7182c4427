#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "rt/mn_cells.h"

// A record published through a slot after it was built is seen whole by a
// thread that loads the slot; an integer flag stored on one thread becomes
// visible on another.
TEST(Cells, PublishAcrossThreads) {
    struct Record {
        int a;
        double b;
    };
    mn_slot* slot = mn_slot_create();
    mn_i64* done = mn_i64_create(0);
    mn_f64* pos = mn_f64_create(1.0);
    EXPECT_EQ(mn_slot_load(slot), nullptr);
    EXPECT_EQ(mn_f64_load(pos), 1.0);
    EXPECT_EQ(mn_i64_load(done), 0);
    Record* record = new Record{0, 0};

    std::thread reader([&] {
        void* p = nullptr;
        while (!(p = mn_slot_load(slot))) std::this_thread::yield();
        auto* r = static_cast<Record*>(p);
        EXPECT_EQ(r->a, 7);
        EXPECT_EQ(r->b, 2.5);
        mn_f64_store(pos, 1234.5);
        mn_i64_store(done, 1);
    });
    record->a = 7;
    record->b = 2.5;
    mn_slot_store(slot, record);
    while (mn_i64_load(done) != 1) std::this_thread::yield();
    EXPECT_EQ(mn_f64_load(pos), 1234.5);
    reader.join();
    delete record;
    mn_slot_destroy(slot);
    mn_i64_destroy(done);
    mn_f64_destroy(pos);
}
