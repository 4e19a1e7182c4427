#include "library/RIFFMeta.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "audio/AudioFileInfo.h"
#include "audio/Text.h"
#include "platform/ReadOnlyFile.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::optional<std::vector<RIFFMeta::Chunk>> chunksOf(const fs::path& file) {
    ReadOnlyFile f(file);
    return RIFFMeta::chunks(f);
}

std::string ixml(const std::string& user) {
    return "<?xml version=\"1.0\"?><BWFXML><IXML_VERSION>2.0</IXML_VERSION><USER>" + user +
           "</USER></BWFXML>";
}

SoundMeta readBytes(const TempDir& dir, const std::string& name, const std::string& bytes) {
    writeBytes(dir / name, bytes);
    return RIFFMeta::read(dir / name);
}

// Bytes this process has read through read(2)-like calls so far.
int64_t bytesReadSoFar() {
    std::ifstream in("/proc/self/io");
    std::string key;
    int64_t value = 0;
    while (in >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}

}  // namespace

TEST(RIFFMeta, ChunkWalk) {
    TempDir dir;
    writeBytes(dir / "short", "RIFF\x04\0\0\0WAV");
    EXPECT_EQ(chunksOf(dir / "short"), std::nullopt);
    writeBytes(dir / "rf64", RiffBuilder("RF64").fmt(1, 48000, 16).bytes());
    EXPECT_EQ(chunksOf(dir / "rf64"), std::nullopt);
    writeBytes(dir / "avi", RiffBuilder("RIFF", "AVI ").fmt(1, 48000, 16).bytes());
    EXPECT_EQ(chunksOf(dir / "avi"), std::nullopt);
    EXPECT_EQ(chunksOf(dir / "missing"), std::nullopt);
    // 12 to 19 bytes of RIFF/WAVE: an empty list, not an absent one.
    writeBytes(dir / "tiny", RiffBuilder().bytes() + "1234567");
    EXPECT_EQ(chunksOf(dir / "tiny"), std::vector<RIFFMeta::Chunk>{});

    // An odd size is followed by a pad byte; a size past the end is clamped;
    // fewer than 8 trailing bytes are ignored; broken id bytes are kept raw.
    const std::string bytes = RiffBuilder()
                                  .chunk("odd ", "12345")
                                  .chunk("next", "ab")
                                  .chunkWithSize("\xFFid\x01", 1000, "xyz")
                                  .bytes();
    writeBytes(dir / "walk.wav", bytes);
    auto list = chunksOf(dir / "walk.wav");
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 3u);
    EXPECT_EQ((*list)[0].id, "odd ");
    EXPECT_EQ((*list)[0].offset, 20u);
    EXPECT_EQ((*list)[0].size, 5u);
    EXPECT_EQ((*list)[1].offset, 20u + 6 + 8);
    EXPECT_EQ((*list)[2].id, "\uFFFDid\x01");
    EXPECT_EQ(std::string((*list)[2].raw.data(), 4), "\xFFid\x01");
    EXPECT_EQ((*list)[2].size, bytes.size() - (*list)[2].offset);
    writeBytes(dir / "tail.wav", RiffBuilder().chunk("a   ", "12").bytes() + "1234567");
    EXPECT_EQ(chunksOf(dir / "tail.wav")->size(), 1u);
}

// A recording cut off before its header was finished (data declares 0
// bytes) over silence: the walk would list a chunk per 8 bytes of audio.
TEST(RIFFMeta, TheWalkIsBounded) {
    TempDir dir;
    std::string bytes = RiffBuilder().fmt(2, 48000, 16).chunkWithSize("data", 0, "").bytes();
    bytes += std::string(8 * (RIFFMeta::kMaxChunks + 5000), '\0');
    writeBytes(dir / "cut.wav", bytes);
    auto list = chunksOf(dir / "cut.wav");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), RIFFMeta::kMaxChunks);
    EXPECT_EQ(RIFFMeta::read(dir / "cut.wav"), SoundMeta());
    // A bext chunk past the limit is not reached.
    writeBytes(dir / "late.wav", bytes + RiffBuilder("", "").bext("Too late").bytes().substr(8));
    EXPECT_EQ(RIFFMeta::read(dir / "late.wav").description, "");
}

TEST(RIFFMeta, UserBlockElementsAndLines) {
    SoundMeta m = RIFFMeta::parseUSER(ixml(
        "<CATEGORY>Doors &amp;amp; Windows</CATEGORY>"
        "<NOTES>  first\nsecond \t</NOTES>"
        "<KEYWORDS>open only\n"
        "fxname=Door slam\n"
        "Designer: J\n"
        " LIBRARY=not this\n"
        "MICROPHONE = not this either\n"
        "KEYWORDS=from the line\r\n"
        "<SOURCEID>SR&lt;1&gt; &quot;a&quot; &apos;b&apos;</SOURCEID>"
        "<CATEGORYFULL>ignored</CATEGORYFULL><EMBEDDER>ignored</EMBEDDER>"));
    EXPECT_EQ(m.category, "Doors &amp; Windows");
    EXPECT_EQ(m.notes, "first\nsecond");
    EXPECT_EQ(m.fxName, "Door slam");
    EXPECT_EQ(m.designer, "J");
    EXPECT_EQ(m.library, "");
    EXPECT_EQ(m.microphone, "");
    EXPECT_EQ(m.keywords, "from the line");
    EXPECT_EQ(m.source, "SR<1> \"a\" 'b'");
    // Only the first block counts; text outside it is not read.
    EXPECT_EQ(RIFFMeta::parseUSER("<FXNAME>outside</FXNAME>" + ixml("<FXNAME>in</FXNAME>") +
                                  ixml("<DESIGNER>second block</DESIGNER>")),
              [] {
                  SoundMeta e;
                  e.fxName = "in";
                  return e;
              }());
    EXPECT_EQ(RIFFMeta::parseUSER("<USER><FXNAME>never closed"), SoundMeta());
    EXPECT_EQ(RIFFMeta::parseUSER("no block"), SoundMeta());
    // A letter that upper-cases to ASCII still matches the tag.
    EXPECT_EQ(RIFFMeta::parseUSER(ixml("desıgner=Dotless")).designer, "Dotless");
    EXPECT_EQ(RIFFMeta::unescape("&amp;lt;"), "&lt;");
    EXPECT_EQ(RIFFMeta::unescape("\u3000 a &#38; b \u2028"), "a &#38; b");
}

// Markup only: a USER block or an element inside a comment, a CDATA
// section, a processing instruction or a declaration is text.
TEST(RIFFMeta, TheBlockAndItsElementsAreMarkupOnly) {
    SoundMeta expected;
    expected.fxName = "real";
    for (const std::string text : {"<!-- <USER><FXNAME>comment</FXNAME></USER> -->",
                                   "<![CDATA[<USER><FXNAME>cdata</FXNAME></USER>]]>",
                                   "<?pi <USER><FXNAME>pi</FXNAME></USER>?>",
                                   "<!DOCTYPE BWFXML [<!ENTITY e \"<USER><FXNAME>e</FXNAME></USER>\">]>"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(RIFFMeta::parseUSER(text), SoundMeta());
        EXPECT_EQ(RIFFMeta::parseUSER("<BWFXML>" + text + ixml("<FXNAME>real</FXNAME>") + "</BWFXML>"), expected);
    }
    // Inside the block: an element hidden in text is not the element.
    EXPECT_EQ(RIFFMeta::parseUSER(ixml("<!--<FXNAME>x</FXNAME>--><FXNAME>real</FXNAME>")), expected);
    EXPECT_EQ(RIFFMeta::parseUSER(ixml("<FXNAME>real<![CDATA[</FXNAME>]]></FXNAME>")).fxName,
              "real<![CDATA[</FXNAME>]]>");
    // A block whose end tag stands in a comment is not closed there.
    EXPECT_EQ(RIFFMeta::parseUSER("<USER><FXNAME>real</FXNAME><!--</USER>-->"), SoundMeta());
    // A comment never closed hides the rest.
    EXPECT_EQ(RIFFMeta::parseUSER("<!-- " + ixml("<FXNAME>x</FXNAME>")), SoundMeta());
    EXPECT_EQ(RIFFMeta::findTag("<a><!--<b>--><b>", "<b>"), 13u);
    // A line inside an element's value is that value, not a line of its own;
    // inside an element never closed it is a line.
    SoundMeta m = RIFFMeta::parseUSER(ixml("<NOTES>first\nKEYWORDS=not a keyword\n</NOTES>\nDESIGNER=J\n"
                                           "<X>\nFXNAME=inside another element</X>\n<LIBRARY>open\nSOURCEID=S"));
    EXPECT_EQ(m.notes, "first\nKEYWORDS=not a keyword");
    EXPECT_EQ(m.keywords, "");
    EXPECT_EQ(m.fxName, "");
    EXPECT_EQ(m.designer, "J");
    EXPECT_EQ(m.source, "S");
    EXPECT_EQ(RIFFMeta::userSpan("x<USER>a</USER>"), (std::pair<size_t, size_t>{1, 15}));
}

TEST(RIFFMeta, Rating) {
    auto rating = [](const std::string& user) { return RIFFMeta::parseUSER(ixml(user)).rating; };
    EXPECT_EQ(rating("<RATING> 4 </RATING>"), 4);
    EXPECT_EQ(rating("<RATING>\t+5</RATING>"), 5);
    EXPECT_EQ(rating("<RATING>-2</RATING>"), -2);
    EXPECT_EQ(rating("<RATING>4 stars</RATING>"), 0);
    EXPECT_EQ(rating("<RATING>\n4\n</RATING>"), 0);
    EXPECT_EQ(rating("<RATING></RATING>"), 0);
    EXPECT_EQ(rating("<RATING>+-1</RATING>"), 0);
    EXPECT_EQ(rating("<RATING>9223372036854775807</RATING>"), INT64_MAX);
    EXPECT_EQ(rating("<RATING>9223372036854775808</RATING>"), 0);
    EXPECT_EQ(rating("</RATING><RATING>3</RATING>"), 0);
    EXPECT_EQ(rating("RATING=3"), 0);
}

TEST(RIFFMeta, ReadingAFile) {
    TempDir dir;
    // The iXML description wins; bext is then not consulted.
    SoundMeta m = readBytes(dir, "a.wav",
                            RiffBuilder()
                                .fmt(1, 48000, 16)
                                .chunk("iXML", ixml("<DESCRIPTION>Rain</DESCRIPTION><RATING>3</RATING>"))
                                .bext("Bext text")
                                .data16(1, 10)
                                .bytes());
    EXPECT_EQ(m.description, "Rain");
    EXPECT_EQ(m.rating, 3);
    // Without iXML the bext Description fills in, inner blanks kept.
    EXPECT_EQ(readBytes(dir, "b.wav", RiffBuilder().fmt(1, 48000, 16).bext("Door  slam").data16(1, 4).bytes())
                  .description,
              "Door  slam");
    // A blank iXML description lets bext in, as does a block never closed.
    EXPECT_EQ(readBytes(dir, "c.wav",
                        RiffBuilder().chunk("iXML", ixml("<DESCRIPTION> \n </DESCRIPTION>")).bext("B").bytes())
                  .description,
              "B");
    EXPECT_EQ(readBytes(dir, "d.wav", RiffBuilder().chunk("iXML", "<USER><FXNAME>x").bext("Still").bytes()),
              [] {
                  SoundMeta e;
                  e.description = "Still";
                  return e;
              }());
    // Only the first iXML chunk counts; NULs and broken bytes stay text.
    m = readBytes(dir, "e.wav",
                  RiffBuilder()
                      .chunk("iXML", ixml(std::string("<NOTES>a\0b \xFF</NOTES>", 21)))
                      .chunk("iXML", ixml("<FXNAME>second</FXNAME>"))
                      .bytes());
    EXPECT_EQ(m.notes, std::string("a\0b \uFFFD", 7));
    EXPECT_EQ(m.fxName, "");
    // A USER block that starts after the first MiB is never seen.
    EXPECT_EQ(readBytes(dir, "f.wav", RiffBuilder().chunk("iXML", std::string(1048576, ' ') + ixml("<FXNAME>late</FXNAME>")).bytes())
                  .fxName,
              "");
    // Not RIFF/WAVE, too short, unreadable: the empty record.
    EXPECT_EQ(readBytes(dir, "g.wav", RiffBuilder("RF64").bext("No").bytes()), SoundMeta());
    EXPECT_EQ(readBytes(dir, "h.wav", "RIFF"), SoundMeta());
    EXPECT_EQ(RIFFMeta::read(dir / "missing.wav"), SoundMeta());
    EXPECT_EQ(RIFFMeta::read(dir.path()), SoundMeta());
    // A file libsndfile wrote with a bext chunk.
    writeTestFile(dir / "sf.wav", 2, 100, 48000, {.bextDescription = "Written by libsndfile"});
    EXPECT_EQ(RIFFMeta::read(dir / "sf.wav").description, "Written by libsndfile");
}

// A bext chunk shorter than its 256-byte field holds only what it declares;
// the next chunk's header is no part of the description, so the inspector
// and the player agree.
TEST(RIFFMeta, AShortBextChunkIsReadOnlyAsFarAsItGoes) {
    TempDir dir;
    const std::string bytes =
        RiffBuilder().chunk("bext", "Short label.").chunk("LIST", "INFOISFT").data16(1, 200).bytes();
    writeBytes(dir / "short.wav", bytes);
    EXPECT_EQ(RIFFMeta::read(dir / "short.wav").description, "Short label.");
    EXPECT_EQ(RIFFReader::bextDescription(dir / "short.wav"), "Short label.");
    writeBytes(dir / "empty.wav", RiffBuilder().chunk("bext", "").chunk("LIST", "INFO").bytes());
    EXPECT_EQ(RIFFMeta::read(dir / "empty.wav").description, "");
}

// Reading a long file costs its headers and the metadata, not its audio.
TEST(RIFFMeta, ReadsOnlyHeadersAndMetadata) {
    TempDir dir;
    const std::string meta = ixml("<DESCRIPTION>Long take</DESCRIPTION>");
    std::string bytes = RiffBuilder().fmt(2, 48000, 24).chunk("iXML", meta).bext("B").bytes();
    const std::string tail = RiffBuilder("", "").chunk("LIST", "INFO").bytes().substr(8);
    // 50 MB of audio, then a LIST chunk the reader has no reason to reach.
    const uint32_t audio = 50 * 1000 * 1000;
    std::ofstream out(dir / "long.wav", std::ios::binary);
    out << bytes.substr(0, bytes.size()) << "data" << le32(audio);
    out.seekp(static_cast<std::streamoff>(bytes.size() + 8 + audio));
    out << tail;
    out.close();

    const int64_t calibrate = bytesReadSoFar();
    const int64_t before = bytesReadSoFar();
    const SoundMeta m = RIFFMeta::read(dir / "long.wav");
    const int64_t after = bytesReadSoFar();
    ASSERT_GE(calibrate, 0);
    EXPECT_EQ(m.description, "Long take");
    const int64_t overhead = before - calibrate;  // reading /proc/self/io itself
    // Header, four chunk headers at most, the iXML text and 256 bytes of bext.
    EXPECT_LE(after - before - overhead, int64_t(12 + 8 * 4 + meta.size() + 256)) << after - before - overhead;
    EXPECT_GT(after - before - overhead, int64_t(meta.size()));
}

// Random and damaged files: no crash, no hang, no exception.
TEST(RIFFMeta, ChunkWalkFuzz) {
    TempDir dir;
    std::mt19937 rng(103);
    const std::string good = RiffBuilder()
                                 .fmt(1, 48000, 16)
                                 .chunk("iXML", ixml("<FXNAME>x</FXNAME><RATING>2</RATING>"))
                                 .bext("Desc")
                                 .data16(1, 64)
                                 .bytes();
    for (int i = 0; i < 1500; ++i) {
        std::string bytes;
        switch (i % 3) {
            case 0: {  // random bytes behind a RIFF/WAVE header
                bytes = "RIFF" + le32(static_cast<uint32_t>(rng())) + "WAVE";
                bytes.resize(12 + rng() % 600);
                for (size_t k = 12; k < bytes.size(); ++k) bytes[k] = static_cast<char>(rng());
                // Plant plausible ids now and then.
                for (const char* id : {"iXML", "bext", "data"})
                    if (rng() % 2 && bytes.size() > 24) bytes.replace(12 + rng() % (bytes.size() - 20), 4, id);
                break;
            }
            case 1: {  // a good file mutated
                bytes = good;
                for (int k = 0; k < 1 + static_cast<int>(rng() % 8); ++k)
                    bytes[rng() % bytes.size()] = static_cast<char>(rng());
                break;
            }
            case 2:  // a good file truncated
                bytes = good.substr(0, rng() % good.size());
                break;
        }
        writeBytes(dir / "f.wav", bytes);
        std::optional<std::vector<RIFFMeta::Chunk>> list;
        ASSERT_NO_THROW(list = chunksOf(dir / "f.wav"));
        if (list) {
            for (const auto& c : *list) ASSERT_LE(c.offset + c.size, bytes.size());
        }
        SoundMeta m;
        ASSERT_NO_THROW(m = RIFFMeta::read(dir / "f.wav"));
        for (const auto& row : SoundMeta::ixmlTags()) ASSERT_TRUE(text::isValidUtf8(m.*row.field));
        ASSERT_LE(m.description.size(), bytes.size() * 3);
    }
}

TEST(RIFFMeta, UserBlockFuzz) {
    std::mt19937 rng(7);
    const std::vector<std::string> pieces = {
        "<USER>", "</USER>", "<RATING>", "</RATING>", "<FXNAME>", "</FXNAME>", "<NOTES>", "</NOTES>",
        "FXNAME=", "designer:", "\n", "\r\n", " ", "\t", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
        "&", ";", "<", ">", "=", ":", "-", "+", "7", "42", "x", "\u00E9", "\u3000", "\u2028", "\U0001F3B5",
        "ı", std::string(1, '\0')};
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int n = static_cast<int>(rng() % 30);
        for (int k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
        SoundMeta m;
        ASSERT_NO_THROW(m = RIFFMeta::parseUSER(text));
        for (const auto& row : SoundMeta::ixmlTags()) {
            ASSERT_TRUE(text::isValidUtf8(m.*row.field)) << text;
            ASSERT_LE((m.*row.field).size(), text.size()) << text;
        }
        std::string value;
        ASSERT_NO_THROW(value = RIFFMeta::unescape(text));
        ASSERT_LE(value.size(), text.size());
        ASSERT_TRUE(text::isValidUtf8(value));
    }
}

TEST(RIFFMeta, BextFuzz) {
    TempDir dir;
    std::mt19937 rng(11);
    for (int i = 0; i < 1000; ++i) {
        std::string body(rng() % 300, '\0');
        for (char& c : body) c = static_cast<char>(rng() % 4 ? rng() : 0);
        writeBytes(dir / "b.wav", RiffBuilder().chunk("bext", body).bytes());
        std::string d;
        ASSERT_NO_THROW(d = RIFFMeta::read(dir / "b.wav").description);
        ASSERT_TRUE(text::isValidUtf8(d));
        ASSERT_EQ(d, RIFFReader::bextDescription(dir / "b.wav").value_or(""));
    }
}
