#include "audio/RetireQueue.h"

#include <algorithm>

namespace qm {

void RetireQueue::retire(std::shared_ptr<const void> object, Clock::time_point now) {
    if (!object) return;
    const Clock::time_point due = now + grace_;
    // A clock that went backwards must not release anything early.
    const Clock::time_point floor = entries_.empty() ? due : std::max(due, entries_.back().due);
    entries_.push_back({floor, std::move(object)});
}

std::size_t RetireQueue::collect(Clock::time_point now) {
    auto end = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.due > now; });
    const auto count = static_cast<std::size_t>(end - entries_.begin());
    // Move out first so that a destructor that retires something else sees a
    // consistent queue.
    std::vector<Entry> done(std::make_move_iterator(entries_.begin()), std::make_move_iterator(end));
    entries_.erase(entries_.begin(), end);
    done.clear();
    return count;
}

std::optional<RetireQueue::Clock::time_point> RetireQueue::nextDeadline() const {
    if (entries_.empty()) return std::nullopt;
    return entries_.front().due;
}

}  // namespace qm
