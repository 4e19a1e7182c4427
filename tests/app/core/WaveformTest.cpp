#include "app/core/WaveformCache.h"
#include "app/core/WaveformLoader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;

namespace {

// Runs the main event loop until the pool is idle and every posted
// delivery has been handled.
void settle() {
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

std::shared_ptr<const WaveformData> overview(int64_t buckets) {
    auto d = std::make_shared<WaveformData>();
    d->bucketCount = d->loadedBuckets = buckets;
    return d;
}

}  // namespace

TEST(WaveformLoader, DeliversOnTheMainThreadAndEndsComplete) {
    test::TempDir dir;
    test::writeTestFile(dir / "a.wav", 2, 480'000, 48000);
    std::vector<std::shared_ptr<const WaveformData>> got;
    bool onMain = true;
    auto loader = WaveformLoader::load(dir / "a.wav", [&](auto d) {
        onMain = onMain && QThread::currentThread() == QCoreApplication::instance()->thread();
        got.push_back(d);
    });
    EXPECT_TRUE(got.empty());  // nothing is delivered inside load()
    settle();
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(onMain);
    EXPECT_EQ(got.back()->bucketCount, 6000);
    EXPECT_EQ(got.back()->loadedBuckets, 6000);
    EXPECT_EQ(got.back()->channels, 2);
    EXPECT_NE(got.back()->maxs[1][5999], 0.f);
}

TEST(WaveformLoader, CancelledOrUnreadableGivesNoUpdate) {
    test::TempDir dir;
    test::writeTestFile(dir / "a.wav", 1, 200'000, 48000);
    int updates = 0;
    // Cancelled before anything was delivered: even snapshots already
    // computed are voided.
    auto loader = WaveformLoader::load(dir / "a.wav", [&](auto) { ++updates; });
    loader->cancel();
    settle();
    EXPECT_EQ(updates, 0);

    WaveformLoader::load(dir / "missing.wav", [&](auto) { ++updates; });
    settle();
    EXPECT_EQ(updates, 0);

    // A receiver that is gone gets nothing.
    auto* receiver = new QObject;
    WaveformLoader::load(dir / "a.wav", [&](auto) { ++updates; }, receiver);
    QThreadPool::globalInstance()->waitForDone();
    delete receiver;
    QCoreApplication::processEvents();
    EXPECT_EQ(updates, 0);
}

TEST(WaveformLoader, ReleasesTheCallbackOnTheMainThread) {
    // With nothing to deliver, the worker holds the last reference.
    test::TempDir dir;
    struct Witness {
        QThread** releasedOn;
        ~Witness() { *releasedOn = QThread::currentThread(); }
    };
    QThread* releasedOn = nullptr;
    {
        auto witness = std::make_shared<Witness>(Witness{&releasedOn});
        releasedOn = nullptr;  // the temporary above has gone
        WaveformLoader::load(dir / "missing.wav", [witness](auto) {});
    }
    settle();
    EXPECT_EQ(releasedOn, QCoreApplication::instance()->thread());
}

TEST(WaveformCache, KeepsTheNewest48) {
    WaveformCache cache;
    auto url = [](int i) { return std::filesystem::path("/music/" + std::to_string(i) + ".wav"); };
    for (int i = 0; i < 48; ++i) cache.set(url(i), overview(i + 1));
    EXPECT_EQ(cache.get(url(0))->bucketCount, 1);  // reading does not refresh it
    cache.set(url(48), overview(49));
    EXPECT_FALSE(cache.get(url(0)));
    EXPECT_TRUE(cache.get(url(1)));

    cache.set(url(1), overview(100));  // storing again makes it the newest
    cache.set(url(49), overview(50));
    EXPECT_EQ(cache.get(url(1))->bucketCount, 100);
    EXPECT_FALSE(cache.get(url(2)));

    cache.set(url(1), nullptr);
    EXPECT_FALSE(cache.get(url(1)));
    cache.set(url(50), overview(1));
    EXPECT_TRUE(cache.get(url(3)));  // the removal freed a place
    cache.set(url(51), overview(1));
    EXPECT_FALSE(cache.get(url(3)));
    EXPECT_TRUE(cache.get(url(4)));
    EXPECT_EQ(&WaveformCache::shared(), &WaveformCache::shared());
}
