#include "library/WorkerPool.h"

#include <sched.h>

#include <algorithm>

namespace qm {

size_t WorkerPool::coreCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

WorkerPool::WorkerPool(size_t workers) {
    workers = std::max<size_t>(1, workers);
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { loop(); });
}

WorkerPool::~WorkerPool() {
    wait();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void WorkerPool::start(size_t count, std::function<void(size_t)> body) {
    wait();
    if (count == 0) return;
    std::lock_guard lock(mutex_);
    body_ = std::move(body);
    count_ = count;
    next_ = 0;
    busy_ = threads_.size();
    ++round_;
    wake_.notify_all();
}

void WorkerPool::wait() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return busy_ == 0; });
}

void WorkerPool::loop() {
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || round_ != seen; });
        if (stop_) return;
        seen = round_;
        const std::function<void(size_t)>* body = &body_;
        // Indices are handed out one at a time: files differ widely in how
        // long they take (a WAV header against a 2 s tag read).
        while (next_ < count_) {
            const size_t i = next_++;
            lock.unlock();
            (*body)(i);
            lock.lock();
        }
        if (--busy_ == 0) finished_.notify_one();
    }
}

}  // namespace qm
