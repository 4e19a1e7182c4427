#include "app/core/EventLoopQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace qm;

namespace {

void spin(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
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
    spin(150);
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
        spin(20);
        EXPECT_TRUE(weak.expired());
    }
}
