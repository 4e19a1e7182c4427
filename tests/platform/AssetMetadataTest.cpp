#include "platform/AssetMetadata.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace qm;
using namespace std::chrono_literals;

namespace {

struct ReaderGuard {
    ~ReaderGuard() { AssetMetadata::setReader({}); }
};

// A reader that blocks until released, like a read on a server that stopped
// answering.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> entered{0};

    AssetMetadata::Reader reader() {
        return [this](const std::filesystem::path&) {
            ++entered;
            std::unique_lock lock(mutex);
            cv.wait(lock, [this] { return open; });
            return std::vector<AssetMetadataItem>{{"title", "late"}};
        };
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        cv.notify_all();
    }
};

void waitUntilNoReadsRun() {
    for (int i = 0; i < 500 && AssetMetadata::readsInFlight() > 0; ++i) std::this_thread::sleep_for(10ms);
}

}  // namespace

TEST(AssetMetadata, AResultThatComesInTimeIsTaken) {
    ReaderGuard guard;
    AssetMetadata::setReader(AssetMetadata::fakeReader({{"title", "T"}, {"artist", "A"}}, 20ms));
    EXPECT_EQ(AssetMetadata::commonMetadata("x.mp3", 2000ms),
              (std::vector<AssetMetadataItem>{{"title", "T"}, {"artist", "A"}}));
    // A reader that throws gives nothing.
    AssetMetadata::setReader([](const std::filesystem::path&) -> std::vector<AssetMetadataItem> {
        throw std::runtime_error("broken");
    });
    EXPECT_TRUE(AssetMetadata::commonMetadata("x.mp3", 2000ms).empty());
}

TEST(AssetMetadata, ALateResultIsDropped) {
    ReaderGuard guard;
    Gate gate;
    AssetMetadata::setReader(gate.reader());
    EXPECT_TRUE(AssetMetadata::commonMetadata("x.mp3", 50ms).empty());
    EXPECT_EQ(AssetMetadata::readsInFlight(), 1);
    gate.release();
    waitUntilNoReadsRun();
    EXPECT_EQ(AssetMetadata::readsInFlight(), 0);
}

// Reads that hang keep their threads; no more than the bound run at once,
// and a caller that finds no free thread in time gets nothing.
TEST(AssetMetadata, HungReadsAreBounded) {
    ReaderGuard guard;
    Gate gate;
    AssetMetadata::setReader(gate.reader());
    std::vector<std::thread> callers;
    std::atomic<int> empty{0};
    for (int i = 0; i < AssetMetadata::kMaxReadsInFlight + 8; ++i)
        callers.emplace_back([&] {
            if (AssetMetadata::commonMetadata("x.flac", 300ms).empty()) ++empty;
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(empty.load(), AssetMetadata::kMaxReadsInFlight + 8);
    EXPECT_EQ(gate.entered.load(), AssetMetadata::kMaxReadsInFlight);
    EXPECT_EQ(AssetMetadata::readsInFlight(), AssetMetadata::kMaxReadsInFlight);
    gate.release();
    waitUntilNoReadsRun();
    EXPECT_EQ(AssetMetadata::readsInFlight(), 0);
    // Threads are free again.
    AssetMetadata::setReader(AssetMetadata::fakeReader({{"title", "again"}}));
    EXPECT_EQ(AssetMetadata::commonMetadata("x.flac", 2000ms).size(), 1u);
}
