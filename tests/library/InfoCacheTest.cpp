#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "library/InfoCache.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

// A reader that counts its reads per path; paths containing "bad" fail.
struct CountingReader {
    std::shared_ptr<std::map<std::string, int>> reads = std::make_shared<std::map<std::string, int>>();
    InfoCache::Reader reader() {
        return [reads = reads](const fs::path& url) -> std::optional<AudioFileInfo> {
            ++(*reads)[url.string()];
            if (url.string().find("bad") != std::string::npos) return std::nullopt;
            AudioFileInfo info;
            info.url = url;
            info.sampleRate = 48000;
            info.channels = 2;
            info.frames = 48000;
            return info;
        };
    }
    int total() const {
        int n = 0;
        for (const auto& [_, count] : *reads) n += count;
        return n;
    }
};

}  // namespace

TEST(InfoCache, ReadsCounted) {
    struct Case {
        const char* name;
        std::vector<std::string> asks;
        int reads;
        size_t kept;
    };
    const Case cases[] = {
        {"same file twice reads once", {"/a.wav", "/a.wav"}, 1, 1},
        {"unreadable file twice reads twice", {"/bad.wav", "/bad.wav"}, 2, 0},
        {"two spellings of one file read twice", {"/x/a.wav", "/x/./a.wav"}, 2, 2},
        {"readable and unreadable", {"/a.wav", "/bad.wav", "/a.wav", "/bad.wav"}, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountingReader counter;
        InfoCache cache(InfoCache::kDefaultLimit, counter.reader());
        for (const std::string& ask : c.asks) {
            const auto info = cache.info(ask);
            EXPECT_EQ(info.has_value(), ask.find("bad") == std::string::npos);
            if (info) { EXPECT_EQ(info->url, fs::path(ask)); }
        }
        EXPECT_EQ(counter.total(), c.reads);
        EXPECT_EQ(cache.size(), c.kept);
    }
}

TEST(InfoCache, EmptiedAboveTheLimit) {
    // The real limit: 20,001 entries stay; the next new file empties the
    // cache and is then its only entry.
    CountingReader counter;
    InfoCache cache(InfoCache::kDefaultLimit, counter.reader());
    for (int i = 0; i <= 20000; ++i) ASSERT_TRUE(cache.info("/f/" + std::to_string(i) + ".wav"));
    EXPECT_EQ(cache.size(), 20001u);
    // A hit does not empty it.
    EXPECT_TRUE(cache.info("/f/7.wav"));
    EXPECT_EQ(cache.size(), 20001u);
    EXPECT_TRUE(cache.info("/f/new.wav"));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_TRUE(cache.contains("/f/new.wav"));

    // A failed read above the limit empties it too, and keeps nothing.
    InfoCache small(2, counter.reader());
    for (const char* p : {"/1.wav", "/2.wav", "/3.wav"}) small.info(p);
    EXPECT_EQ(small.size(), 3u);
    EXPECT_FALSE(small.info("/bad.wav"));
    EXPECT_EQ(small.size(), 0u);
}

TEST(InfoCache, OneRequestAtATime) {
    std::atomic<int> inside{0}, most{0}, reads{0};
    InfoCache cache(100, [&](const fs::path& url) -> std::optional<AudioFileInfo> {
        const int now = ++inside;
        most = std::max(most.load(), now);
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --inside;
        AudioFileInfo info;
        info.url = url;
        return info;
    });
    std::vector<std::thread> askers;
    for (int t = 0; t < 8; ++t)
        askers.emplace_back([&] {
            for (int i = 0; i < 4; ++i) cache.info("/same.wav");
        });
    for (auto& t : askers) t.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(reads.load(), 1);
}

TEST(InfoCache, RealFiles) {
    TempDir dir;
    writeBytes(dir / "a.wav", RiffBuilder().fmt(2, 48000, 16).data16(2, 4800).bytes());
    writeBytes(dir / "noise.wav", "not audio at all");
    InfoCache cache;
    const auto good = cache.info(dir / "a.wav");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->sampleRate, 48000);
    EXPECT_EQ(good->channels, 2);
    EXPECT_FALSE(cache.info(dir / "noise.wav"));
    EXPECT_FALSE(cache.info(dir / "missing.wav"));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(&InfoCache::shared(), &InfoCache::shared());
}
