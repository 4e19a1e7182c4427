#include "app/core/EventLoopQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "support/Timeouts.h"

using namespace qm;

namespace {

// Runs the event loop for `ms`, or until `done` holds (within the time-out).
void spin(int ms, const std::function<bool()>& done = {}) {
    QElapsedTimer t;
    t.start();
    const qint64 limit = done ? qm::test::timeout(std::chrono::milliseconds(5000)).count() : ms;
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (t.elapsed() < limit && !(done && t.elapsed() >= ms && done()));
}

}  // namespace

TEST(EventLoopQueue, RunsWorkInOrderOfTimeOnTheOwningThreadAndCancels) {
    EventLoopQueue queue;
    std::vector<int> ran;
    queue.after(0.06, [&] { ran.push_back(2); });
    queue.after(0.0, [&] { ran.push_back(1); });
    auto dropped = queue.after(0.03, [&] { ran.push_back(99); });
    queue.cancel(dropped);
    queue.cancel(12345);  // unknown tokens are ignored

    std::atomic<bool> onMain{false};
    std::thread other([&] {
        queue.after(0.0, [&] { onMain = QThread::currentThread() == QCoreApplication::instance()->thread(); });
    });
    other.join();
    // Past the cancelled work's time, until the last work ran.
    spin(60, [&] { return ran.size() >= 2 && onMain; });
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_TRUE(onMain);
}

TEST(EventLoopQueue, ReleasesWhatTheWorkHoldsAfterItRanOrWasCancelled) {
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> weak = held;
    {
        EventLoopQueue queue;
        queue.after(0.0, [h = held] {});
        auto t = queue.after(10.0, [h = held] {});
        held.reset();
        spin(50);
        EXPECT_FALSE(weak.expired()) << "the 10 s work still holds it";
        queue.cancel(t);
        spin(0, [&] { return weak.expired(); });
        EXPECT_TRUE(weak.expired());
    }
}
