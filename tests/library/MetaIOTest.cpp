#include "library/MetaIO.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "library/UCS.h"
#include "platform/AssetMetadata.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::string ixml(const std::string& user) { return "<BWFXML><USER>" + user + "</USER></BWFXML>"; }

// Restores the TagLib reader when a test that replaced it ends.
struct ReaderGuard {
    ~ReaderGuard() { AssetMetadata::setReader({}); }
};

}  // namespace

TEST(MetaIO, WavFiles) {
    TempDir dir;
    writeBytes(dir / "Door slam.wav", RiffBuilder().fmt(1, 48000, 16).data16(1, 10).bytes());
    SoundMeta expected;
    expected.fxName = "Door slam";
    EXPECT_EQ(MetaIO::read(dir / "Door slam.wav"), expected);

    // Embedded values win; the UCS name fills what the iXML left empty.
    writeBytes(dir / "DOORWood_Slam hard_JD_SR 7.wav",
               RiffBuilder().chunk("iXML", ixml("<FXNAME>Embedded</FXNAME><DESIGNER></DESIGNER>")).bytes());
    SoundMeta m = MetaIO::read(dir / "DOORWood_Slam hard_JD_SR 7.wav");
    EXPECT_EQ(m.fxName, "Embedded");
    EXPECT_EQ(m.catID, "DOORWood");
    EXPECT_EQ(m.designer, "JD");
    EXPECT_EQ(m.source, "SR 7");
    EXPECT_EQ(m.category, UCS::shared().lookup("DOORWood") ? "DOORS" : "DOOR");
    EXPECT_EQ(m.subCategory, UCS::shared().lookup("DOORWood") ? "WOOD" : "Wood");

    // Any case of a WAV-family extension goes through the chunk reader, and
    // no other extension does.
    const std::string wav = RiffBuilder().chunk("iXML", ixml("<KEYWORDS>chunk</KEYWORDS>")).bytes();
    for (const char* name : {"TAKE.WAV", "x.Wave", "x.bwf", "x.RF64", "x.amb"}) {
        writeBytes(dir / name, wav);
        EXPECT_EQ(MetaIO::read(dir / name).keywords, "chunk") << name;
    }
    ReaderGuard guard;
    AssetMetadata::setReader(AssetMetadata::fakeReader({}));
    for (const char* name : {"x.w64", "x.aif", "noextension"}) {
        writeBytes(dir / name, wav);
        EXPECT_EQ(MetaIO::read(dir / name).keywords, "") << name;
    }
    EXPECT_EQ(MetaIO::read(dir / "noextension").fxName, "noextension");
    // A file that is not there still gets its name's fields.
    EXPECT_EQ(MetaIO::read(dir / "gone.mp3").fxName, "gone");
}

// Tags written by another program (ffmpeg) read through TagLib.
TEST(MetaIO, TaggedFilesOfOtherFormats) {
    TempDir dir;
    writeTestFile(dir / "src.wav", 2, 4800, 48000, {.bits = 16});
    const std::string tags =
        "-metadata title='Night Rain' -metadata artist='Ann Artist' -metadata composer='Carl Composer' "
        "-metadata publisher='Big Library' -metadata comment='Soft rain on leaves' "
        "-metadata subject='rain, leaves'";
    struct Case {
        const char* name;
        const char* args;
    };
    const Case cases[] = {
        {"tagged.mp3", "-c:a libmp3lame -b:a 128k"},
        {"tagged.flac", "-c:a flac"},
        {"tagged.aiff", "-write_id3v2 1"},
        {"tagged.ogg", "-c:a libvorbis"},
        {"tagged.m4a", "-c:a aac -b:a 96k"},
    };
    for (const Case& c : cases) {
        encodeWithFfmpeg(dir / "src.wav", dir / c.name, std::string(c.args) + " " + tags);
        const SoundMeta m = MetaIO::read(dir / c.name);
        EXPECT_EQ(m.trackTitle, "Night Rain") << c.name;
        // The composer comes before the artist (AssetMetadata.h).
        EXPECT_EQ(m.designer, "Carl Composer") << c.name;
        EXPECT_EQ(m.fxName, "tagged") << c.name;
        EXPECT_EQ(m.description, "Soft rain on leaves") << c.name;
        std::string items;
        for (const auto& item : AssetMetadata::readWithTagLib(dir / c.name)) items += item.key + "=" + item.value + "; ";
        SCOPED_TRACE(std::string(c.name) + ": " + items);
        // ffmpeg's MPEG-4 writer keeps no publisher or subject, and its
        // AIFF writer no subject.
        const std::string n = c.name;
        if (n != "tagged.m4a") {
            EXPECT_EQ(m.library, "Big Library");
        }
        if (n != "tagged.m4a" && n != "tagged.aiff") {
            EXPECT_EQ(m.keywords, "rain, leaves");
        }
    }
    // Not audio at all, or not there: no items.
    writeBytes(dir / "junk.mp3", std::string(5000, 'j'));
    EXPECT_TRUE(AssetMetadata::readWithTagLib(dir / "junk.mp3").empty());
    EXPECT_TRUE(AssetMetadata::readWithTagLib(dir / "missing.flac").empty());
}

TEST(MetaIO, CommonKeysToFields) {
    TempDir dir;
    ReaderGuard guard;
    using Item = AssetMetadataItem;
    AssetMetadata::setReader(AssetMetadata::fakeReader({
        {"description", "first"},
        {"creator", ""},
        {"artist", "Artist wins"},
        {"creator", "Creator too late"},
        {"title", "T1"},
        {"title", "T2"},
        {"subject", "rain, night"},
        {"publisher", "Lib"},
        {"description", "second"},
        {"copyright", "ignored"},
    }));
    SoundMeta m = MetaIO::read(dir / "AMBForst_Rain.mp3");
    EXPECT_EQ(m.description, "second");
    EXPECT_EQ(m.designer, "Artist wins");
    EXPECT_EQ(m.trackTitle, "T2");
    EXPECT_EQ(m.keywords, "rain, night");
    EXPECT_EQ(m.library, "Lib");
    EXPECT_EQ(m.catID, "AMBForst");
    EXPECT_EQ(m.fxName, "Rain");
    AssetMetadata::setReader(AssetMetadata::fakeReader({Item{"description", "x"}, Item{"description", ""}}));
    EXPECT_EQ(MetaIO::read(dir / "a.flac").description, "");
}

// A read that takes longer than 2.0 s is not waited for: the file gets its
// name's fields only.
TEST(MetaIO, ASlowAssetReadIsNotWaitedFor) {
    TempDir dir;
    ReaderGuard guard;
    AssetMetadata::setReader(AssetMetadata::fakeReader({{"title", "Too late"}, {"artist", "Late"}},
                                                       std::chrono::milliseconds(3000)));
    const auto start = std::chrono::steady_clock::now();
    const SoundMeta m = MetaIO::read(dir / "DOORWood_Creak_JD.mp3");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(seconds, 2.0, 0.2);
    SoundMeta expected = SoundMeta::fromFileName(dir / "DOORWood_Creak_JD.mp3");
    EXPECT_EQ(m, expected);
    EXPECT_EQ(m.trackTitle, "");
}

// Scanner workers read at once: every thread gets the same record, and the
// table is loaded once.
TEST(MetaIO, ManyThreadsAtOnce) {
    TempDir dir;
    writeBytes(dir / "AMBForst_Birds_JD_SR1.wav",
               RiffBuilder().chunk("iXML", ixml("<DESCRIPTION>Dawn chorus</DESCRIPTION><RATING>4</RATING>"))
                   .bext("unused")
                   .bytes());
    ReaderGuard guard;
    AssetMetadata::setReader(AssetMetadata::fakeReader({{"title", "Tagged"}}, std::chrono::milliseconds(5)));
    std::vector<SoundMeta> results(16);
    std::vector<std::thread> threads;
    // Half the threads read the WAV file, half a tagged one.
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            results[i] = MetaIO::read(dir / (i % 2 ? "AMBForst_Birds_JD_SR1.flac" : "AMBForst_Birds_JD_SR1.wav"));
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(UCS::sharedLoads(), 1);
    for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], results[i % 2]) << i;
    EXPECT_EQ(results[0].description, "Dawn chorus");
    EXPECT_EQ(results[0].rating, 4);
    EXPECT_EQ(results[0].category, "AMBIENCE");
    EXPECT_EQ(results[0].source, "SR1");
    EXPECT_EQ(results[1].trackTitle, "Tagged");
    EXPECT_EQ(results[1].category, "AMBIENCE");
}
