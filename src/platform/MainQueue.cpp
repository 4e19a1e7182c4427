#include "platform/MainQueue.h"

#include <algorithm>

namespace qm {

ManualMainQueue::~ManualMainQueue() {
    // Destroy the remaining work outside the lock: it may own objects whose
    // destructors post more work.
    std::vector<Item> items;
    {
        std::lock_guard g(lock_);
        items.swap(items_);
    }
}

MainQueue::Token ManualMainQueue::after(double seconds, std::function<void()> work) {
    std::lock_guard g(lock_);
    Token t = next_++;
    items_.push_back(Item{now_ + std::max(seconds, 0.0), t, std::move(work)});
    return t;
}

void ManualMainQueue::cancel(Token token) {
    std::function<void()> dropped;
    {
        std::lock_guard g(lock_);
        auto it = std::find_if(items_.begin(), items_.end(),
                               [&](const Item& i) { return i.token == token; });
        if (it == items_.end()) return;
        dropped = std::move(it->work);
        items_.erase(it);
    }
}

void ManualMainQueue::advance(double seconds) {
    double end;
    {
        std::lock_guard g(lock_);
        end = now_ + std::max(seconds, 0.0);
    }
    for (;;) {
        Item item;
        {
            std::lock_guard g(lock_);
            auto due = std::min_element(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
                return a.due < b.due || (a.due == b.due && a.token < b.token);
            });
            if (due == items_.end() || due->due > end) {
                now_ = end;
                return;
            }
            item = std::move(*due);
            items_.erase(due);
            now_ = std::max(now_, item.due);
        }
        item.work();
    }
}

double ManualMainQueue::now() const {
    std::lock_guard g(lock_);
    return now_;
}

size_t ManualMainQueue::pending() const {
    std::lock_guard g(lock_);
    return items_.size();
}

}  // namespace qm
