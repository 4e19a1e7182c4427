#include "platform/AssetMetadata.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/ReadOnlyFile.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

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

// surelyEmpty answers only where TagLib indeed finds nothing: AIFF files
// under AIFF names without a tag chunk, Wave64 files whose head holds no
// lookalike of another format; never for a tagged file, another name, or
// while another reader is set.
TEST(AssetMetadata, SurelyEmptyOnlyWhereTagLibFindsNothing) {
    test::TempDir dir;
    const std::string id3 = std::string("ID3\x03\x00\x00\x00\x00\x00\x0E", 10) + "TIT2" + test::be32(4) +
                            std::string(3, '\0') + "Tag";
    const std::string audio(400, '\x11');
    const std::string plain = test::AiffBuilder().comm(2, 44100, 16).ssnd(audio).bytes();
    const std::string fmt = test::le16(1) + test::le16(1) + test::le32(48000) + test::le32(96000) + test::le16(2) +
                            test::le16(16);
    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"plain.aif", plain, true},
        {"plain.AIFC", plain, true},
        {"named.aiff", test::AiffBuilder().chunk("NAME", "Title").comm(2, 44100, 16).ssnd(audio).bytes(), true},
        {"tagged.aiff", test::AiffBuilder().comm(2, 44100, 16).ssnd(audio).chunk("ID3 ", id3).bytes(), false},
        {"aiff under another name.wav", plain, false},
        {"take.w64", test::W64Builder().chunk(test::w64Guid("fmt "), fmt).chunk(test::w64Guid("data"), audio).bytes(), true},
        {"sync.w64", test::W64Builder().chunk(test::w64Guid("fmt "), fmt).chunk(test::w64Guid("data"), "\xFF\xFB" + audio).bytes(), false},
        {"flac inside.w64", test::W64Builder().chunk(test::w64Guid("fmt "), fmt).chunk(test::w64Guid("data"), "fLaC" + audio).bytes(), false},
    };
    for (const auto& [name, bytes, empty] : cases) {
        test::writeBytes(dir / name, bytes);
        const ReadOnlyFile file(dir / name);
        EXPECT_EQ(AssetMetadata::surelyEmpty(file, dir / name), empty) << name;
        if (empty) {
            EXPECT_TRUE(AssetMetadata::readWithTagLib(dir / name).empty()) << name;
        }
    }
    EXPECT_FALSE(AssetMetadata::readWithTagLib(dir / "tagged.aiff").empty());

    ReaderGuard guard;
    AssetMetadata::setReader(AssetMetadata::fakeReader({{"title", "T"}}));
    const ReadOnlyFile file(dir / "plain.aif");
    EXPECT_FALSE(AssetMetadata::surelyEmpty(file, dir / "plain.aif"));
}
