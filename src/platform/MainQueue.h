// The main thread's work queue: run a piece of work on the main thread after
// a delay, or cancel it before it runs.
//
// The engine uses it for everything it does later (the idle pause, freeing
// replaced objects after their grace period) and to bring reports from other
// threads (a device change seen on a sound-server thread) onto the main
// thread. The application implements it over its event loop; tests use
// ManualMainQueue and move time by hand.
//
// Threads: after() may be called from any thread; cancel() and the work
// itself belong to the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qm {

// How long an object the render thread may still be reading lives on after
// it is replaced (see retireLater below).
inline constexpr double kRetireSeconds = 3.0;

class MainQueue {
public:
    using Token = uint64_t;

    virtual ~MainQueue() = default;
    // Runs `work` on the main thread once `seconds` have passed (0: as soon
    // as the main thread is free). The work is destroyed after it ran or
    // was cancelled, on the main thread.
    virtual Token after(double seconds, std::function<void()> work) = 0;
    // Drops work that has not run yet; unknown or finished tokens are ignored.
    virtual void cancel(Token token) = 0;
};

// Keeps `object` alive for kRetireSeconds on `queue` and releases it there,
// on the main thread, never on the render thread: the way to let go of
// anything the render thread may still be reading for one more callback.
// The grace period is the only protection; the render side never answers.
template <class T>
void retireLater(MainQueue& queue, std::shared_ptr<T> object) {
    if (object) queue.after(kRetireSeconds, [held = std::move(object)] {});
}

// A queue whose clock only moves when told to; work runs on the thread that
// moves it, in order of due time (then of submission).
class ManualMainQueue final : public MainQueue {
public:
    ~ManualMainQueue() override;

    Token after(double seconds, std::function<void()> work) override;
    void cancel(Token token) override;

    // Moves the clock by `seconds`, running each piece of work as its time
    // comes (work added meanwhile runs too when it falls due).
    void advance(double seconds);
    // Runs the work that is due now.
    void runDue() { advance(0.0); }
    double now() const;
    size_t pending() const;

private:
    struct Item {
        double due;
        Token token;
        std::function<void()> work;
    };
    mutable std::mutex lock_;
    std::vector<Item> items_;
    double now_ = 0;
    Token next_ = 1;
};

}  // namespace qm
