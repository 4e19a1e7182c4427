// Objects that a real-time thread may still be reading when they are
// replaced (plans, mix records, stream readers) are not freed at once: their
// owner hands them here, and they are released once a grace period (3.0 s)
// has passed, on the thread that drives the queue.
//
// The queue holds the only remaining reference of what it is given. It is
// not thread-safe: one controlling thread (the main thread) retires and
// collects; the owner calls collect() from a timer, for example at
// nextDeadline().
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace qm {

class RetireQueue {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kGrace = std::chrono::milliseconds(3000);

    explicit RetireQueue(Clock::duration grace = kGrace) : grace_(grace) {}

    // Keeps `object` alive until grace has passed after `now`.
    void retire(std::shared_ptr<const void> object, Clock::time_point now = Clock::now());
    // Releases every object whose grace period is over at `now` (in the order
    // they were retired); returns how many were released.
    std::size_t collect(Clock::time_point now = Clock::now());
    std::size_t pending() const { return entries_.size(); }
    // When the earliest held object may be released; none when empty.
    std::optional<Clock::time_point> nextDeadline() const;

private:
    struct Entry {
        Clock::time_point due;
        std::shared_ptr<const void> object;
    };
    Clock::duration grace_;
    std::vector<Entry> entries_;  // in retiring order, so deadlines ascend
};

}  // namespace qm
