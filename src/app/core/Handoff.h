// The two ways models move work between threads: to Qt's global thread pool,
// and back to the thread of a receiving object (the main thread for models).
// Every hand-over of the Qt layers goes through them.
//
// The Qt the system links is not built with ThreadSanitizer, so the locks
// inside its thread pool and event queues are invisible to the sanitizer,
// and everything a worker reads of what the main thread wrote (and the other
// way round) would look like a race. Under ThreadSanitizer each hand-over is
// also ordered through one lock the sanitizer sees: the sending thread holds
// it while Qt takes the work, the receiving thread takes it before the work
// runs. In other builds these are Qt's own calls and nothing else.
//
// Threads: any thread may call both.
#pragma once

#include "platform/Sanitizers.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThreadPool>

#include <mutex>
#include <utility>

namespace qm::handoff {

#if defined(QM_SANITIZE_THREAD)
std::mutex& order();
struct Sending {
    std::lock_guard<std::mutex> hold{order()};
};
inline void received() { std::lock_guard<std::mutex> hold(order()); }
#else
struct Sending {};
inline void received() {}
#endif

// Runs `work` on Qt's global thread pool.
template <class F>
void toPool(F work) {
    [[maybe_unused]] const Sending sending;
    QThreadPool::globalInstance()->start([work = std::move(work)]() mutable {
        received();
        work();
    });
}

// Runs `work` on the thread of `receiver` once its event loop gets to it;
// Qt drops it when `receiver` is gone by then. A null receiver stands for
// the application object, and nothing runs once the application is gone.
template <class F>
void toThreadOf(QObject* receiver, F work) {
    if (!receiver) receiver = QCoreApplication::instance();
    if (!receiver) return;
    [[maybe_unused]] const Sending sending;
    QMetaObject::invokeMethod(
        receiver,
        [work = std::move(work)]() mutable {
            received();
            work();
        },
        Qt::QueuedConnection);
}

}  // namespace qm::handoff
