// What the scanner reads of a file is what AudioFileInfo::load and
// MetaIO::read give it, whatever the file; and a WAVE, Wave64 or AIFF file
// is opened once.
#include "library/ScanRead.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <fmt/format.h>

#include "library/MetaIO.h"
#include "support/AudioFiles.h"
#include "support/OpenWatch.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::string ixml(const std::string& description, const std::string& category) {
    return fmt::format("<BWFXML><USER><DESCRIPTION>{}</DESCRIPTION><CATEGORY>{}</CATEGORY><RATING>3</RATING>"
                       "</USER></BWFXML>",
                       description, category);
}

ScanRead::Result separately(const fs::path& p) {
    ScanRead::Result r;
    try {
        r.info = AudioFileInfo::load(p);
    } catch (...) {
    }
    r.meta = MetaIO::read(p);
    return r;
}

// An ID3v2.3 tag with a title, as an AIFF tag chunk holds it.
std::string id3Title(const std::string& title) {
    const std::string frame = "TIT2" + be32(static_cast<uint32_t>(title.size() + 1)) + std::string(2, '\0') + '\0' + title;
    std::string size(4, '\0');
    for (int k = 0; k < 4; ++k) size[3 - k] = static_cast<char>((frame.size() >> (7 * k)) & 0x7F);
    return std::string("ID3\x03\x00\x00", 6) + size + frame;
}

// The 16-bit frames of a short stereo staircase, big-endian for AIFF.
std::string aiffFrames(int64_t frames) {
    std::string out;
    for (int64_t i = 0; i < frames; ++i)
        for (int c = 0; c < 2; ++c) out += be16(static_cast<uint16_t>(static_cast<int16_t>(staircase(c, i) * 32768.0f)));
    return out;
}

}  // namespace

TEST(ScanRead, GivesWhatTheReaderAndTheMetadataEntryGive) {
    TempDir dir;
    std::vector<fs::path> files;
    auto put = [&](const std::string& name, const std::string& bytes) {
        files.push_back(dir / name);
        writeBytes(files.back(), bytes);
    };
    put("DOORWood_Slam Hard_JD_SR7.wav", RiffBuilder().fmt(2, 48000, 16).chunk("iXML", ixml("Big slam", "DOORS")).data16(2, 50).bytes());
    put("bext only.WAV", RiffBuilder().fmt(1, 44100, 16).bext("Rain on a tin roof  ").data16(1, 30).bytes());
    put("both.bwf", RiffBuilder().fmt(2, 48000, 16).bext("From bext").chunk("iXML", ixml("", "WEATHER")).data16(2, 5).bytes());
    // The iXML past the first 64 KiB, and one larger than them.
    put("far.wav", RiffBuilder().fmt(2, 48000, 16).chunk("JUNK", std::string(70000, '\0')).chunk("iXML", ixml("Far away", "AMB")).data16(2, 5).bytes());
    put("long.wav", RiffBuilder().fmt(2, 48000, 16).chunk("iXML", ixml(std::string(90000, 'x'), "LONG")).data16(2, 5).bytes());
    put("after data.wav", RiffBuilder().fmt(2, 48000, 16).data16(2, 20).chunk("iXML", ixml("Trailing", "X")).bytes());
    put("rf64 file.rf64", RiffBuilder("RF64").chunk("ds64", le64(0) + le64(200) + le64(50) + le32(0)).fmt(2, 48000, 16).chunkWithSize("data", 0xFFFFFFFF, RiffBuilder().data16(2, 50).bytes().substr(20)).bytes());
    put("wave under another name.aif", RiffBuilder().fmt(2, 48000, 16).chunk("iXML", ixml("Hidden", "X")).data16(2, 5).bytes());
    put("broken.wav", "not a wave file at all");
    put("empty.wav", "");
    put("odd.wav", RiffBuilder().fmt(2, 48000, 16).chunk("smpl", std::string(37, '\0')).data16(2, 5).bytes());
    put("sampler.wav", RiffBuilder().fmt(2, 48000, 16).chunk("smpl", std::string(60, '\0')).chunk("iXML", ixml("Looped", "MUSC")).data16(2, 5).bytes());
    put("broadcast.wav", RiffBuilder().fmt(2, 48000, 16).bext("On air").chunk("cart", std::string(2048, 'c')).data16(2, 5).bytes());
    put("named.aif", AiffBuilder().chunk("NAME", "Door").comm(2, 48000, 16).ssnd(aiffFrames(20)).bytes());
    put("tagged.aiff", AiffBuilder().comm(2, 48000, 16).ssnd(aiffFrames(20)).chunk("ID3 ", id3Title("From the tag")).bytes());
    put("aiff under a WAVE name.wav", AiffBuilder().comm(2, 44100, 16).ssnd(aiffFrames(20)).bytes());
    put("AMBForst_Rain_JD.W64", W64Builder().chunk(w64Guid("fmt "), le16(1) + le16(1) + le32(48000) + le32(96000) + le16(2) + le16(16)).chunk(w64Guid("data"), std::string(40, '\x10')).bytes());
    // A head an MPEG detector could take for a frame sync.
    put("sync.w64", W64Builder().chunk(w64Guid("fmt "), le16(1) + le16(1) + le32(48000) + le32(96000) + le16(2) + le16(16)).chunk(w64Guid("data"), std::string(40, '\xFF')).bytes());
    writeTestFile(dir / "float.wav", 2, 100, 96000, {.bits = 32, .isFloat = true});
    writeTestFile(dir / "wide.wav", 6, 100, 48000, {.kind = FileKind::wavex, .bits = 24, .channelMask = 0x3F});
    writeTestFile(dir / "WTHRRain_Soft_AM.flac", 2, 100, 48000, {.kind = FileKind::flac, .bits = 16});
    writeTestFile(dir / "field.aiff", 2, 100, 48000, {.kind = FileKind::aiff, .bits = 24});
    writeTestFile(dir / "float.aifc", 1, 100, 96000, {.kind = FileKind::aiff, .bits = 32, .isFloat = true});
    writeTestFile(dir / "long.w64", 2, 100, 48000, {.kind = FileKind::w64, .bits = 24});
    for (const char* f : {"float.wav", "wide.wav", "WTHRRain_Soft_AM.flac", "field.aiff", "float.aifc", "long.w64"})
        files.push_back(dir / f);

    for (const fs::path& p : files) {
        const ScanRead::Result once = ScanRead::read(p), apart = separately(p);
        EXPECT_EQ(once.info, apart.info) << p.filename();
        EXPECT_EQ(once.meta, apart.meta) << p.filename();
    }
    // Not trivially so.
    EXPECT_EQ(ScanRead::read(dir / "DOORWood_Slam Hard_JD_SR7.wav").meta.description, "Big slam");
    EXPECT_EQ(ScanRead::read(dir / "far.wav").meta.description, "Far away");
    EXPECT_EQ(ScanRead::read(dir / "bext only.WAV").info->bextDescription, "Rain on a tin roof");
    EXPECT_EQ(ScanRead::read(dir / "rf64 file.rf64").info->frames, 50);
    EXPECT_FALSE(ScanRead::read(dir / "broken.wav").info);
    EXPECT_EQ(ScanRead::read(dir / "tagged.aiff").meta.trackTitle, "From the tag");
    EXPECT_EQ(ScanRead::read(dir / "AMBForst_Rain_JD.W64").meta.category, "AMBIENCE");
    EXPECT_EQ(ScanRead::read(dir / "sampler.wav").meta.description, "Looped");
}

// A WAVE, Wave64 or AIFF file is opened once, sampler and broadcast chunks
// and all; an AIFF file's tag chunk costs the metadata reader's open; the
// reader's formats as often as they need.
TEST(ScanRead, WaveWave64AndAiffFilesAreOpenedOnce) {
    TempDir dir;
    writeBytes(dir / "a.wav", RiffBuilder().fmt(2, 48000, 16).bext("A").chunk("iXML", ixml("a", "b")).data16(2, 50).bytes());
    writeTestFile(dir / "b.wav", 2, 100, 48000, {.kind = FileKind::wavex, .bits = 24, .channelMask = 0x3});
    writeBytes(dir / "loop.wav", RiffBuilder().fmt(2, 48000, 16).chunk("smpl", std::string(60, '\0')).chunk("cart", std::string(2100, 'c')).chunk("acid", std::string(24, '\0')).data16(2, 50).bytes());
    writeTestFile(dir / "c.flac", 2, 100, 48000, {.kind = FileKind::flac, .bits = 16});
    writeTestFile(dir / "d.aiff", 2, 50, 48000, {.kind = FileKind::aiff, .bits = 16});
    writeTestFile(dir / "e.aif", 1, 50, 48000, {.kind = FileKind::aiff, .bits = 32, .isFloat = true});
    writeTestFile(dir / "f.w64", 2, 50, 48000, {.kind = FileKind::w64, .bits = 16});
    writeBytes(dir / "tagged.aiff", AiffBuilder().comm(2, 48000, 16).ssnd(aiffFrames(20)).chunk("ID3 ", id3Title("T")).bytes());
    OpenWatch watch;
    watch.add(dir.path());
    watch.opened();
    const std::vector<const char*> names = {"a.wav", "b.wav", "loop.wav", "c.flac", "d.aiff", "e.aif", "f.w64", "tagged.aiff"};
    for (const char* f : names) ScanRead::read(dir / f);
    const std::vector<std::string> opened = watch.opened();
    auto count = [&](const char* f) { return std::count(opened.begin(), opened.end(), (dir / f).string()); };
    for (const char* f : {"a.wav", "b.wav", "loop.wav", "d.aiff", "e.aif", "f.w64"}) EXPECT_EQ(count(f), 1) << f;
    EXPECT_EQ(count("tagged.aiff"), 2);
    EXPECT_GT(count("c.flac"), 1);
}
