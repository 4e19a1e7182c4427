#include "audio/AudioFileInfo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;

namespace {

std::optional<std::string> bextOf(const TempDir& dir, const std::string& name, const std::string& bytes) {
    writeBytes(dir / name, bytes);
    return RIFFReader::bextDescription(dir / name);
}

}  // namespace

TEST(RIFFReader, DescriptionIsCutAtZeroAndTrimmed) {
    TempDir dir;
    auto wav = [](const std::string& d) { return RiffBuilder().fmt(1, 48000, 16).bext(d).data16(1, 10).bytes(); };
    EXPECT_EQ(bextOf(dir, "a.wav", wav("  Door slam, wood \n\t")), "Door slam, wood");
    EXPECT_EQ(bextOf(dir, "b.wav", wav(std::string("Cut here\0and not this", 21))), "Cut here");
    EXPECT_EQ(bextOf(dir, "c.wav", wav(std::string(256, '\0'))), std::nullopt);
    EXPECT_EQ(bextOf(dir, "d.wav", wav("   \r\n  ")), std::nullopt);
    EXPECT_EQ(bextOf(dir, "e.wav", wav("\u00A0\u3000Wind\u2028")), "Wind");
    EXPECT_EQ(bextOf(dir, "f.wav", wav("Caf\xE9 noir \xF0\x9F\x8E\xB5")), "Caf\uFFFD noir \U0001F3B5");
    EXPECT_EQ(bextOf(dir, "g.wav", wav("bad tail \xE2\x82")), "bad tail \uFFFD");
    // A full 256-byte description without a terminating zero.
    EXPECT_EQ(bextOf(dir, "h.wav", wav(std::string(256, 'x'))), std::string(256, 'x'));
}

TEST(RIFFReader, OnlyWaveFilesAreSearched) {
    TempDir dir;
    std::string bytes = RiffBuilder().fmt(1, 48000, 16).bext("Found").data16(1, 10).bytes();
    for (const char* name : {"x.wav", "x.WAVE", "x.bwf", "x.amb", "x.rf64"})
        EXPECT_EQ(bextOf(dir, name, bytes), "Found") << name;
    for (const char* name : {"x.aif", "x.w64", "x.mp3", "x"})
        EXPECT_EQ(bextOf(dir, name, bytes), std::nullopt) << name;
    EXPECT_EQ(bextOf(dir, "rifx.wav", RiffBuilder("RIFX").bext("No").bytes()), std::nullopt);
    EXPECT_EQ(bextOf(dir, "avi.wav", RiffBuilder("RIFF", "AVI ").bext("No").bytes()), std::nullopt);
    EXPECT_EQ(bextOf(dir, "bw64.wav", RiffBuilder("BW64").bext("Yes").bytes()), "Yes");
    EXPECT_EQ(bextOf(dir, "short.wav", "RIFF\0\0\0"), std::nullopt);
    EXPECT_EQ(RIFFReader::bextDescription(dir / "missing.wav"), std::nullopt);
    EXPECT_EQ(RIFFReader::bextDescription(dir.path()), std::nullopt);
}

TEST(RIFFReader, ChunkWalk) {
    TempDir dir;
    // An odd-sized chunk is followed by its pad byte.
    EXPECT_EQ(bextOf(dir, "odd.wav", RiffBuilder().chunk("junk", "abc").bext("After odd").bytes()), "After odd");
    // The bext chunk may be the 64th chunk, not the 65th.
    RiffBuilder at64, at65;
    for (int i = 0; i < 63; ++i) at64.chunk("junk", "xy");
    for (int i = 0; i < 64; ++i) at65.chunk("junk", "xy");
    EXPECT_EQ(bextOf(dir, "64.wav", at64.bext("Late").bytes()), "Late");
    EXPECT_EQ(bextOf(dir, "65.wav", at65.bext("Too late").bytes()), std::nullopt);
    // A chunk running past the end of the file ends the walk.
    EXPECT_EQ(bextOf(dir, "long.wav", RiffBuilder().chunkWithSize("data", 1000, "ab").bext("x").bytes()),
              std::nullopt);
}

TEST(RIFFReader, SixtyFourBitFiles) {
    TempDir dir;
    std::string ds64 = le64(0) + le64(20) + le64(10) + le32(0);
    // ds64 first, then bext before a data chunk whose size lives in ds64.
    EXPECT_EQ(bextOf(dir, "a.rf64",
                     RiffBuilder("RF64").formSize(0xFFFFFFFF).chunk("ds64", ds64).fmt(1, 48000, 16)
                         .bext("Sixty-four").chunkWithSize("data", 0xFFFFFFFF, std::string(20, '\0')).bytes()),
              "Sixty-four");
    // Behind such a data chunk nothing can be found.
    EXPECT_EQ(bextOf(dir, "b.rf64",
                     RiffBuilder("RF64").formSize(0xFFFFFFFF).chunk("ds64", ds64).fmt(1, 48000, 16)
                         .chunkWithSize("data", 0xFFFFFFFF, std::string(20, '\0')).bext("Hidden").bytes()),
              std::nullopt);
}

TEST(RIFFReader, ShortBextChunkIsNotReadPastItsEnd) {
    TempDir dir;
    // A 12-byte bext chunk followed by a chunk full of text: only the 12 bytes count.
    std::string bytes = RiffBuilder().chunk("bext", "Short label.").chunk("LIST", std::string(300, 'Z')).bytes();
    EXPECT_EQ(bextOf(dir, "s.wav", bytes), "Short label.");
    EXPECT_EQ(bextOf(dir, "z.wav", RiffBuilder().chunk("bext", "").chunk("junk", "text").bytes()), std::nullopt);
    // A bext chunk cut by the end of the file gives what is there.
    EXPECT_EQ(bextOf(dir, "t.wav", RiffBuilder().chunkWithSize("bext", 602, "Truncated").bytes()), "Truncated");
}

// Writes `bytes` over the file without emptying it first: a file emptied
// and written again is put on the disk at every close (the file system
// protects a replaced file that way), which made each case cost a
// millisecond.
static void rewrite(const std::filesystem::path& file, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
    ::close(fd);
}

// Random bytes behind a valid header, and random mutations of a valid file,
// must never crash or hang the walk.
TEST(RIFFReader, FuzzedChunkWalkNeverCrashes) {
    TempDir dir;
    auto file = dir / "fuzz.wav";
    std::mt19937_64 rng(20240101);
    const std::string valid = RiffBuilder().fmt(2, 48000, 16).chunk("junk", "abc").bext("Fuzz").data16(2, 20).bytes();
    // A fixed number of cases, whatever the machine's load.
    int runs = 0, found = 0;
    while (runs < 20000) {
        std::string bytes;
        if (runs % 2 == 0) {
            size_t len = std::uniform_int_distribution<size_t>(0, 1200)(rng);
            bytes = std::string(runs % 4 == 0 ? "RIFF\x10\0\0\0WAVE" : "RF64\xFF\xFF\xFF\xFFWAVE", 12);
            for (size_t i = 0; i < len; ++i) bytes += static_cast<char>(rng());
            // Plant chunk identifiers so the walk takes many paths.
            for (int k = 0; k < 3 && bytes.size() > 20; ++k) {
                size_t at = 12 + std::uniform_int_distribution<size_t>(0, bytes.size() - 20)(rng);
                bytes.replace(at, 4, k == 0 ? "bext" : k == 1 ? "ds64" : "data");
            }
        } else {
            bytes = valid;
            int flips = std::uniform_int_distribution<int>(1, 8)(rng);
            for (int k = 0; k < flips; ++k)
                bytes[std::uniform_int_distribution<size_t>(0, bytes.size() - 1)(rng)] = static_cast<char>(rng());
            if (rng() % 4 == 0) bytes.resize(std::uniform_int_distribution<size_t>(0, bytes.size())(rng));
        }
        rewrite(file, bytes);
        auto d = RIFFReader::bextDescription(file);
        if (d) {
            ++found;
            EXPECT_LE(d->size(), 256u * 3);
        }
        ++runs;
    }
    EXPECT_GT(runs, 2000);
    EXPECT_GT(found, 0);
}
