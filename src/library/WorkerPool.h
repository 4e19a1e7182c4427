// A small fixed pool of threads that runs one indexed loop at a time: the
// scanner's "read these 256 files in parallel". start hands out the indices
// 0..count-1 to the workers and returns at once; wait returns when every
// one is done, so the caller may size a result list before and read it
// after without a lock (each index writes only its own slot), and do other
// work in between (the scanner writes the previous batch).
//
// Owned and driven by one thread; the body must not throw. The destructor
// lets a running loop finish before the workers go.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {

class WorkerPool {
public:
    // One worker a core the process may run on.
    static size_t coreCount();

    explicit WorkerPool(size_t workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void start(size_t count, std::function<void(size_t index)> body);
    void wait();
    void run(size_t count, std::function<void(size_t index)> body) {
        start(count, std::move(body));
        wait();
    }

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::function<void(size_t)> body_;
    size_t count_ = 0;
    size_t next_ = 0;
    size_t busy_ = 0;  // workers still inside the current round
    uint64_t round_ = 0;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace qm
