#include "app/core/EventLoopQueue.h"

#include "app/core/Handoff.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace qm {

EventLoopQueue::EventLoopQueue(QObject* parent) : QObject(parent) {}

EventLoopQueue::~EventLoopQueue() {
    // The timers are our children; deleting them drops their work.
    timers_.clear();
}

MainQueue::Token EventLoopQueue::after(double seconds, std::function<void()> work) {
    const Token token = next_.fetch_add(1);
    if (QThread::currentThread() == thread()) {
        schedule(token, seconds, std::move(work));
    } else {
        handoff::toThreadOf(this, [this, token, seconds, w = std::move(work)]() mutable {
            schedule(token, seconds, std::move(w));
        });
    }
    return token;
}

void EventLoopQueue::cancel(Token token) {
    auto it = timers_.find(token);
    if (it == timers_.end()) return;
    QTimer* timer = it->second;
    timers_.erase(it);
    delete timer;  // drops the work with its connection
}

void EventLoopQueue::schedule(Token token, double seconds, std::function<void()> work) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, token, timer, w = std::move(work)] {
        timers_.erase(token);
        timer->deleteLater();  // the work (and what it holds) goes with it, on this thread
        w();
    });
    timers_[token] = timer;
    const double ms = std::isfinite(seconds) ? std::max(0.0, seconds * 1000.0) : 0.0;
    timer->start(static_cast<int>(std::lround(std::min(ms, 2.0e9))));
}

}  // namespace qm
