#include "library/RIFFMeta.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "library/Catalog.h"
#include "library/LibraryScanner.h"
#include "library/MetaIO.h"
#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "platform/FileAccess.h"
#include "platform/ReadOnlyFile.h"
#include "support/AudioFiles.h"
#include "support/Failures.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

const std::string kPrefix =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BWFXML><IXML_VERSION>2.10</IXML_VERSION>";

SoundMeta doorSlam() {
    SoundMeta m;
    m.description = "Door slam";
    m.category = "DOORS";
    m.subCategory = "WOOD";
    m.rating = 3;
    return m;
}

const std::string kDoorSlamBlock =
    "<USER><DESCRIPTION>Door slam</DESCRIPTION><CATEGORY>DOORS</CATEGORY><SUBCATEGORY>WOOD</SUBCATEGORY>"
    "<CATEGORYFULL>DOORS-WOOD</CATEGORYFULL><RATING>3</RATING><EMBEDDER>Quillmarsh</EMBEDDER></USER>";

std::vector<RIFFMeta::Chunk> walk(const fs::path& file) {
    ReadOnlyFile f(file);
    auto list = RIFFMeta::chunks(f);
    return list ? *list : std::vector<RIFFMeta::Chunk>{};
}

std::vector<std::string> idsOf(const std::vector<RIFFMeta::Chunk>& list) {
    std::vector<std::string> ids;
    for (const auto& c : list) ids.push_back(c.id);
    return ids;
}

std::string bytesOf(const fs::path& file, const RIFFMeta::Chunk& c) {
    return readBytes(file).substr(c.offset, c.size);
}

const RIFFMeta::Chunk& find(const std::vector<RIFFMeta::Chunk>& list, const std::string& id) {
    for (const auto& c : list)
        if (c.id == id) return c;
    throw std::runtime_error("no chunk " + id);
}

// One chunk as a rewrite must keep it: its id bytes and its data (for a data
// chunk that runs to the end of the file, its size field and every byte
// after it).
struct Piece {
    std::string id, bytes;
    bool operator==(const Piece&) const = default;
};

std::vector<Piece> pieces(const fs::path& file) {
    ReadOnlyFile f(file);
    const auto list = RIFFMeta::chunks(f, true);
    const std::string all = readBytes(file);
    std::vector<Piece> out;
    for (const auto& c : list.value_or(std::vector<RIFFMeta::Chunk>{})) {
        const bool toEnd = c.id == "data" && (c.declared > c.size || (c.declared == 0 && c.offset < all.size()));
        out.push_back({std::string(c.raw.data(), 4), toEnd ? all.substr(c.offset - 4) : all.substr(c.offset, c.size)});
    }
    return out;
}

// The list less the first chunk of each id given.
std::vector<Piece> without(std::vector<Piece> list, std::initializer_list<std::string_view> ids) {
    for (std::string_view id : ids) {
        auto it = std::find_if(list.begin(), list.end(), [&](const Piece& p) { return p.id == id; });
        if (it != list.end()) list.erase(it);
    }
    return list;
}

std::vector<std::string> idsOf(const std::vector<Piece>& list) {
    std::vector<std::string> ids;
    for (const auto& p : list) ids.push_back(p.id);
    return ids;
}

// The audio as the program decodes it, every channel.
std::vector<std::vector<float>> decoded(const fs::path& file) {
    auto reader = AudioFileReader::open(file);
    const auto& format = reader->format();
    std::vector<std::vector<float>> out(size_t(format.channels), std::vector<float>(size_t(format.frames)));
    std::vector<float*> pointers;
    for (auto& c : out) pointers.push_back(c.data());
    EXPECT_EQ(reader->read(0, pointers.data(), format.frames), format.frames);
    return out;
}

// The audio as ffmpeg decodes it (which, unlike libsndfile, reads the audio
// of a data chunk that declares 0 bytes), as raw 32-bit floats.
std::string ffmpegDecoded(const fs::path& file) {
    const std::string command = "ffmpeg -v error -i '" + file.string() + "' -map 0:a -c:a pcm_f32le -f f32le -";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char block[65536];
    for (size_t n; pipe && (n = std::fread(block, 1, sizeof block, pipe)) > 0;) out.append(block, n);
    EXPECT_TRUE(pipe && ::pclose(pipe) == 0) << command;
    return out;
}

// Every name in the folder that starts with a dot: temporaries are hidden.
std::vector<std::string> hiddenIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().starts_with(".")) names.push_back(e.path().filename().string());
    return names;
}

// The code of the AppError the rewrite throws, 0 when it succeeds.
int rewriteError(const SoundMeta& meta, const fs::path& file, std::string* text = nullptr) {
    return appErrorCode([&] { RIFFMeta::write(meta, file); }, text);
}

uint64_t fileHash(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    uint64_t h = 1469598103934665603ull;
    while (in.read(block.data(), std::streamsize(block.size())) || in.gcount() > 0) {
        h ^= std::hash<std::string_view>()({block.data(), size_t(in.gcount())});
        h *= 1099511628211ull;
    }
    return h;
}

// A WAV file of `audioBytes` bytes of silence, written sparse.
void writeLongWav(const fs::path& file, uint32_t audioBytes, const std::string& before = "") {
    const std::string head = RiffBuilder().fmt(2, 48000, 16).bytes() + before + "data" + le32(audioBytes);
    std::string bytes = head;
    bytes.replace(4, 4, le32(uint32_t(head.size() - 8 + audioBytes)));
    writeBytes(file, bytes);
    fs::resize_file(file, bytes.size() + audioBytes);
}

// The rewrite of a copy of `file`: the bytes a rewrite of `file` must give.
uint64_t expectedHash(const fs::path& file, const SoundMeta& meta, const fs::path& scratch) {
    fs::copy_file(file, scratch, fs::copy_options::overwrite_existing);
    RIFFMeta::write(meta, scratch);
    const uint64_t h = fileHash(scratch);
    fs::remove(scratch);
    return h;
}

}  // namespace

TEST(RIFFMetaWrite, UserBlock) {
    EXPECT_EQ(RIFFMeta::userBlock(doorSlam()), kDoorSlamBlock);
    EXPECT_EQ(RIFFMeta::userBlock(doorSlam()).size(), 194u);
    SoundMeta m;
    EXPECT_EQ(RIFFMeta::userBlock(m), "<USER><EMBEDDER>Quillmarsh</EMBEDDER></USER>");
    m.subCategory = "WOOD";
    m.rating = -2;
    EXPECT_EQ(RIFFMeta::userBlock(m),
              "<USER><SUBCATEGORY>WOOD</SUBCATEGORY><CATEGORYFULL>WOOD</CATEGORYFULL>"
              "<EMBEDDER>Quillmarsh</EMBEDDER></USER>");
    m = {};
    m.category = "A&B";
    m.userCategory = "Salt & Pepper <mono> \"q\" 'a'";
    m.source = " SR1 ";
    EXPECT_EQ(RIFFMeta::userBlock(m),
              "<USER><CATEGORY>A&amp;B</CATEGORY><SOURCEID> SR1 </SOURCEID>"
              "<USERCATEGORY>Salt &amp; Pepper &lt;mono&gt; \"q\" 'a'</USERCATEGORY>"
              "<CATEGORYFULL>A&amp;B</CATEGORYFULL><EMBEDDER>Quillmarsh</EMBEDDER></USER>");
    // Every tag, in table order.
    for (const auto& row : SoundMeta::ixmlTags()) m.*row.field = std::string(row.tag);
    std::string expected = "<USER>";
    for (const auto& row : SoundMeta::ixmlTags())
        expected += "<" + std::string(row.tag) + ">" + std::string(row.tag) + "</" + std::string(row.tag) + ">";
    expected += "<CATEGORYFULL>CATEGORY-SUBCATEGORY</CATEGORYFULL><EMBEDDER>Quillmarsh</EMBEDDER></USER>";
    EXPECT_EQ(RIFFMeta::userBlock(m), expected);
}

// The new bext and iXML go before the first data chunk, the old ones go, and
// every other chunk is copied byte for byte.
TEST(RIFFMetaWrite, TheNewChunksAndTheirOrder) {
    TempDir dir;
    const std::string list = "INFOISFT" + le32(6) + "Tool1\0";
    writeBytes(dir / "Door.wav", RiffBuilder()
                                     .fmt(1, 48000, 16)
                                     .chunk("LIST", list)
                                     .data16(1, 501)
                                     .chunk("iXML", "<BWFXML>old</BWFXML>")
                                     .bytes());
    const auto before = walk(dir / "Door.wav");
    const std::string original = readBytes(dir / "Door.wav");
    RIFFMeta::write(doorSlam(), dir / "Door.wav");
    const auto after = walk(dir / "Door.wav");
    EXPECT_EQ(idsOf(after), (std::vector<std::string>{"fmt ", "LIST", "bext", "iXML", "data"}));
    const std::string file = readBytes(dir / "Door.wav");
    EXPECT_EQ(file.substr(4, 4), le32(uint32_t(file.size() - 8)));
    for (const char* id : {"fmt ", "LIST", "data"})
        EXPECT_EQ(bytesOf(dir / "Door.wav", find(after, id)),
                  original.substr(find(before, id).offset, find(before, id).size)) << id;
    EXPECT_EQ(bytesOf(dir / "Door.wav", find(after, "LIST")), list);
    EXPECT_EQ(find(after, "data").size, 1002u);
    EXPECT_EQ(bytesOf(dir / "Door.wav", find(after, "iXML")), "<BWFXML>old" + kDoorSlamBlock + "</BWFXML>");

    // Without an iXML chunk: 80 + 194 + 9 bytes, odd, so a zero pad byte follows.
    writeBytes(dir / "new.wav", RiffBuilder().fmt(1, 48000, 16).data16(1, 501).bytes());
    RIFFMeta::write(doorSlam(), dir / "new.wav");
    const auto fresh = walk(dir / "new.wav");
    const std::string freshFile = readBytes(dir / "new.wav");
    const auto& ixml = find(fresh, "iXML");
    EXPECT_EQ(ixml.size, 283u);
    EXPECT_EQ(bytesOf(dir / "new.wav", ixml), kPrefix + kDoorSlamBlock + "</BWFXML>");
    EXPECT_EQ(freshFile[ixml.offset + 283], '\0');
    EXPECT_EQ(find(fresh, "data").offset, ixml.offset + 284 + 8);

    // A new bext chunk: 602 bytes, the description, Originator and Version 1.
    const auto& bext = find(fresh, "bext");
    ASSERT_EQ(bext.size, 602u);
    std::string expected(602, '\0');
    expected.replace(0, 9, "Door slam");
    expected.replace(256, 10, "Quillmarsh");
    expected[346] = 1;
    EXPECT_EQ(bytesOf(dir / "new.wav", bext), expected);

    // Two data chunks: the new chunks go only before the first.
    writeBytes(dir / "two.wav", RiffBuilder().fmt(1, 48000, 16).data16(1, 4).chunk("bext", "x").data16(1, 3).bytes());
    RIFFMeta::write(doorSlam(), dir / "two.wav");
    EXPECT_EQ(idsOf(walk(dir / "two.wav")), (std::vector<std::string>{"fmt ", "bext", "iXML", "data", "data"}));
    EXPECT_EQ(walk(dir / "two.wav")[4].size, 6u);
}

// Files the rewriter cannot write are refused with code 71 before a
// temporary exists, and stay as they were.
TEST(RIFFMetaWrite, FilesItCannotWriteAreRefusedUntouched) {
    TempDir dir;
    std::string many = RiffBuilder().fmt(2, 48000, 16).data16(2, 4).bytes();
    for (size_t i = 0; i < RIFFMeta::kMaxChunks; ++i) many += "JUNK" + le32(0);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"fmt only", RiffBuilder().fmt(1, 48000, 16).bytes()},
        {"not RIFF", "Not a wave file at all, just text."},
        {"RF64", RiffBuilder("RF64").fmt(1, 48000, 16).data16(1, 4).bytes()},
        {"RIFX", RiffBuilder("RIFX").fmt(1, 48000, 16).data16(1, 4).bytes()},
        {"AVI", RiffBuilder("RIFF", "AVI ").data16(1, 4).bytes()},
        {"too short for a chunk", RiffBuilder().bytes() + "data"},
        {"past the walk's bound", many},
    };
    for (const auto& [what, bytes] : files) {
        SCOPED_TRACE(what);
        writeBytes(dir / "f.wav", bytes);
        std::string text;
        EXPECT_EQ(rewriteError(doorSlam(), dir / "f.wav", &text), RIFFMeta::kNotWritableWav);
        EXPECT_EQ(text, "Not a WAV file Quillmarsh can write");
        EXPECT_EQ(readBytes(dir / "f.wav"), bytes);
        EXPECT_TRUE(hiddenIn(dir.path()).empty());
    }
    // An old iXML or bext the rewrite would have to hold, past 64 MiB (sparse).
    for (const char* id : {"iXML", "bext"}) {
        SCOPED_TRACE(id);
        const uint32_t size = uint32_t(RIFFMeta::kMaxHeldChunk + 1);
        const std::string head = RiffBuilder().fmt(1, 48000, 16).data16(1, 4).bytes() + id + le32(size);
        writeBytes(dir / "huge.wav", head);
        fs::resize_file(dir / "huge.wav", head.size() + size + 1);
        EXPECT_EQ(rewriteError(doorSlam(), dir / "huge.wav"), RIFFMeta::kNotWritableWav);
        EXPECT_EQ(fs::file_size(dir / "huge.wav"), head.size() + size + 1);
        EXPECT_TRUE(hiddenIn(dir.path()).empty());
    }
    // Not a file, or no file.
    fs::create_directories(dir / "folder.wav");
    EXPECT_EQ(rewriteError(doorSlam(), dir / "folder.wav"), RIFFMeta::kNotWritableWav);
    ASSERT_EQ(::mkfifo((dir / "pipe.wav").c_str(), 0600), 0);
    EXPECT_EQ(rewriteError(doorSlam(), dir / "pipe.wav"), RIFFMeta::kNotWritableWav);
    std::string text;
    EXPECT_EQ(rewriteError(doorSlam(), dir / "missing.wav", &text), FileAccess::kWriteFailed);
    EXPECT_NE(text.find("\"missing.wav\""), std::string::npos) << text;
    EXPECT_TRUE(hiddenIn(dir.path()).empty());
}

// What the old iXML holds outside its USER block stays byte for byte, even
// where it is not UTF-8; the old bext keeps all but its Description.
TEST(RIFFMetaWrite, TheOldIXMLAndBextKeepWhatTheRecordDoesNotSay) {
    TempDir dir;
    const SoundMeta meta = doorSlam();
    auto rewrittenIXML = [&](const std::string& old) {
        writeBytes(dir / "x.wav", RiffBuilder().chunk("iXML", old).data16(1, 2).bytes());
        RIFFMeta::write(meta, dir / "x.wav");
        return bytesOf(dir / "x.wav", find(walk(dir / "x.wav"), "iXML"));
    };
    const std::string latin1 = "<PROJECT>Caf\xE9 \xFF\xFE</PROJECT>";
    EXPECT_EQ(rewrittenIXML("<BWFXML>" + latin1 + "<USER><FXNAME>old</FXNAME></USER><NOTE>\xC3</NOTE></BWFXML>"),
              "<BWFXML>" + latin1 + kDoorSlamBlock + "<NOTE>\xC3</NOTE></BWFXML>");
    // Later USER blocks stay.
    EXPECT_EQ(rewrittenIXML("<USER>a</USER><USER>b</USER>"), kDoorSlamBlock + "<USER>b</USER>");
    // No USER block: before the last </BWFXML>.
    EXPECT_EQ(rewrittenIXML("<BWFXML><A/></BWFXML><BWFXML></BWFXML>"),
              "<BWFXML><A/></BWFXML><BWFXML>" + kDoorSlamBlock + "</BWFXML>");
    // "<USER>" never closed: the new block goes before it, so that it is the
    // block a reader finds; without a root end, a new document.
    EXPECT_EQ(rewrittenIXML("<BWFXML><USER><FXNAME>old</FXNAME></BWFXML>"),
              "<BWFXML>" + kDoorSlamBlock + "<USER><FXNAME>old</FXNAME></BWFXML>");
    EXPECT_EQ(RIFFMeta::read(dir / "x.wav"), meta);
    EXPECT_EQ(rewrittenIXML("<USER>unclosed"), kDoorSlamBlock + "<USER>unclosed");
    // An empty or zero-filled chunk (space kept for later) holds nothing to keep.
    EXPECT_EQ(rewrittenIXML(""), kPrefix + kDoorSlamBlock + "</BWFXML>");
    EXPECT_EQ(rewrittenIXML(std::string(40, '\0')), kPrefix + kDoorSlamBlock + "</BWFXML>");

    // An 858-byte bext: only bytes 0 to 255 change.
    std::string bext(858, '\0');
    for (size_t i = 0; i < bext.size(); ++i) bext[i] = char('A' + i % 26);
    writeBytes(dir / "b.wav", RiffBuilder().chunk("bext", bext).data16(1, 2).bytes());
    RIFFMeta::write(meta, dir / "b.wav");
    std::string expected = bext;
    expected.replace(0, 256, "Door slam" + std::string(247, '\0'));
    EXPECT_EQ(bytesOf(dir / "b.wav", find(walk(dir / "b.wav"), "bext")), expected);
    // A short one is extended with zeros; an empty one gives no Originator.
    writeBytes(dir / "s.wav", RiffBuilder().chunk("bext", std::string(300, 'z')).data16(1, 2).bytes());
    RIFFMeta::write(meta, dir / "s.wav");
    expected = "Door slam" + std::string(247, '\0') + std::string(44, 'z') + std::string(302, '\0');
    EXPECT_EQ(bytesOf(dir / "s.wav", find(walk(dir / "s.wav"), "bext")), expected);
    writeBytes(dir / "e.wav", RiffBuilder().chunk("bext", "").data16(1, 2).bytes());
    RIFFMeta::write(meta, dir / "e.wav");
    EXPECT_EQ(bytesOf(dir / "e.wav", find(walk(dir / "e.wav"), "bext")), "Door slam" + std::string(593, '\0'));
}

TEST(RIFFMetaWrite, TheDescriptionIsCutOnACharacter) {
    TempDir dir;
    auto field = [&](const std::string& description) {
        writeBytes(dir / "d.wav", RiffBuilder().bext("Old description").data16(1, 2).bytes());
        SoundMeta m;
        m.description = description;
        RIFFMeta::write(m, dir / "d.wav");
        return bytesOf(dir / "d.wav", find(walk(dir / "d.wav"), "bext")).substr(0, 256);
    };
    EXPECT_EQ(field(std::string(300, 'x')), std::string(256, 'x'));
    EXPECT_EQ(field(std::string(254, 'x') + "\u20AC"), std::string(254, 'x') + std::string(2, '\0'));
    EXPECT_EQ(field(std::string(253, 'x') + "\u20AC"), std::string(253, 'x') + "\u20AC");
    EXPECT_EQ(field(""), std::string(256, '\0'));
}

// A last chunk other than data that declares more than the file holds is
// written with the bytes present, its header corrected and padded.
TEST(RIFFMetaWrite, AShortLastChunkGetsItsHeaderCorrected) {
    TempDir dir;
    writeBytes(dir / "cut.wav", RiffBuilder().fmt(1, 48000, 16).data16(1, 4).bytes() + "LIST" + le32(1000) +
                                    std::string(301, 'a'));
    RIFFMeta::write(doorSlam(), dir / "cut.wav");
    const std::string file = readBytes(dir / "cut.wav");
    const auto chunks = walk(dir / "cut.wav");
    const auto& list = find(chunks, "LIST");
    EXPECT_EQ(list.size, 301u);
    EXPECT_EQ(file.substr(list.offset - 4, 4), le32(301));
    EXPECT_EQ(file.size(), list.offset + 302);
    EXPECT_EQ(file.back(), '\0');
    EXPECT_EQ(file.substr(4, 4), le32(uint32_t(file.size() - 8)));
}

// The rewrite changes its own metadata and nothing else, whatever the file
// holds: the audio decodes the same before and after, and every other chunk
// stays byte for byte.
TEST(RIFFMetaWrite, ADataChunkThatRunsToTheEndIsKeptAsItIs) {
    TempDir dir;
    const std::string audio = RiffBuilder().data16(2, 1001).bytes().substr(20);  // 4004 bytes
    const std::string list = "INFOISFT" + le32(5) + "Tool\0\0";
    const struct {
        const char* what;
        uint32_t declared;
        std::string after;
    } cases[] = {
        // A recording cut before its header was completed.
        {"declares 0 bytes", 0, ""},
        {"declares 0 bytes, odd", 0, "x"},
        {"declares 0 bytes, an old iXML after it", 0, "iXML" + le32(8) + "<BWFXML>"},
        {"declares more than there is", 100000, "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bytes = RiffBuilder().fmt(2, 48000, 16).chunk("LIST", list).bytes() + "data" +
                                  le32(c.declared) + audio + c.after;
        writeBytes(dir / "cut.wav", bytes);
        const auto before = pieces(dir / "cut.wav");
        const auto audioBefore = decoded(dir / "cut.wav");
        const std::string ffmpegBefore = ffmpegDecoded(dir / "cut.wav");
        EXPECT_GE(ffmpegBefore.size(), 4000u * 2) << "ffmpeg finds the audio";
        RIFFMeta::write(doorSlam(), dir / "cut.wav");
        const auto after = pieces(dir / "cut.wav");
        EXPECT_EQ(idsOf(after), (std::vector<std::string>{"fmt ", "LIST", "bext", "iXML", "data"}));
        EXPECT_TRUE(without(after, {"bext", "iXML"}) == before);
        const std::string now = readBytes(dir / "cut.wav");
        EXPECT_TRUE(now.ends_with("data" + le32(c.declared) + audio + c.after)) << "header and bytes as they were";
        EXPECT_EQ(now.substr(4, 4), le32(uint32_t(now.size() - 8)));
        EXPECT_EQ(decoded(dir / "cut.wav"), audioBefore);
        EXPECT_TRUE(ffmpegDecoded(dir / "cut.wav") == ffmpegBefore);
        EXPECT_EQ(RIFFMeta::read(dir / "cut.wav"), doorSlam());
        // Saved again: the same file.
        RIFFMeta::write(doorSlam(), dir / "cut.wav");
        EXPECT_EQ(readBytes(dir / "cut.wav"), now);
    }
    // Longer than the walk's bound would allow as chunks: still its audio.
    writeLongWav(dir / "long.wav", 0);
    fs::resize_file(dir / "long.wav", 44 + 16 * RIFFMeta::kMaxChunks);
    const std::string audioBefore = ffmpegDecoded(dir / "long.wav");
    EXPECT_EQ(rewriteError(doorSlam(), dir / "long.wav"), 0);
    EXPECT_TRUE(ffmpegDecoded(dir / "long.wav") == audioBefore);
    EXPECT_EQ(fs::file_size(dir / "long.wav"), 44 + 16 * RIFFMeta::kMaxChunks + 8 + 602 + 8 + 284);
}

TEST(RIFFMetaWrite, LaterIXMLAndBextChunksAreKept) {
    TempDir dir;
    const std::string second = "<BWFXML><NOTE>second</NOTE></BWFXML>";
    const std::string firstOld = "<BWFXML><USER><FXNAME>old</FXNAME></USER><SCENE>1</SCENE></BWFXML>";
    const std::string firstNew = "<BWFXML>" + kDoorSlamBlock + "<SCENE>1</SCENE></BWFXML>";
    const std::string secondBext(602, 'b');
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> ids;
    } cases[] = {
        {"after the data", RiffBuilder().fmt(1, 48000, 16).chunk("iXML", firstOld).data16(1, 50).chunk("iXML", second)
                               .chunk("bext", secondBext).bytes(),
         {"fmt ", "bext", "iXML", "data", "iXML"}},
        // Before the data: the new chunks go first, since a reader takes the first.
        {"before the data", RiffBuilder().fmt(1, 48000, 16).chunk("iXML", firstOld).bext("one").chunk("iXML", second)
                                .chunk("bext", secondBext).data16(1, 50).bytes(),
         {"fmt ", "bext", "iXML", "iXML", "bext", "data"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(dir / "two.wav", c.bytes);
        const auto before = pieces(dir / "two.wav");
        const auto audioBefore = decoded(dir / "two.wav");
        RIFFMeta::write(doorSlam(), dir / "two.wav");
        const auto after = pieces(dir / "two.wav");
        EXPECT_EQ(idsOf(after), c.ids);
        EXPECT_TRUE(without(after, {"bext", "iXML"}) == without(before, {"bext", "iXML"}));
        EXPECT_EQ(without(after, {"bext"})[1], (Piece{"iXML", firstNew})) << "the first iXML carries the block";
        EXPECT_EQ(decoded(dir / "two.wav"), audioBefore);
        EXPECT_EQ(RIFFMeta::read(dir / "two.wav"), doorSlam());
    }
}

// An iXML whose text the block cannot go into stays whole; the block goes
// into a new iXML chunk of our own before it, which later saves reuse.
TEST(RIFFMetaWrite, WideOrZeroFilledIXMLTextIsKept) {
    TempDir dir;
    auto utf16 = [](const std::string& ascii, bool bigEndian, bool bom) {
        std::string out = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
        for (char ch : ascii) out += bigEndian ? std::string{'\0', ch} : std::string{ch, '\0'};
        return out;
    };
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><BWFXML><USER><FXNAME>wide</FXNAME></USER></BWFXML>";
    for (const auto& old : {utf16(doc, false, true), utf16(doc, true, true), utf16(doc, false, false),
                            utf16(doc, true, false)}) {
        writeBytes(dir / "w.wav", RiffBuilder().fmt(1, 48000, 16).chunk("iXML", old).data16(1, 40).bytes());
        const auto before = pieces(dir / "w.wav");
        const auto audioBefore = decoded(dir / "w.wav");
        RIFFMeta::write(doorSlam(), dir / "w.wav");
        const auto after = pieces(dir / "w.wav");
        ASSERT_EQ(idsOf(after), (std::vector<std::string>{"fmt ", "bext", "iXML", "iXML", "data"}));
        EXPECT_EQ(after[2].bytes, kPrefix + kDoorSlamBlock + "</BWFXML>");
        EXPECT_TRUE(without(after, {"bext", "iXML"}) == before) << "the wide text is kept byte for byte";
        EXPECT_EQ(decoded(dir / "w.wav"), audioBefore);
        EXPECT_EQ(RIFFMeta::read(dir / "w.wav"), doorSlam());
        // The next save goes into our own chunk and keeps the wide one.
        SoundMeta other;
        other.fxName = "Again";
        RIFFMeta::write(other, dir / "w.wav");
        EXPECT_EQ(idsOf(pieces(dir / "w.wav")), idsOf(after));
        EXPECT_EQ(pieces(dir / "w.wav")[3], after[3]);
        EXPECT_EQ(RIFFMeta::read(dir / "w.wav"), other);
    }
}

// Zero bytes inside the text, and trailing ones kept as room for later
// edits, stay where they are.
TEST(RIFFMetaWrite, ZeroBytesInTheIXMLAreKept) {
    TempDir dir;
    const std::string zero(1, '\0');
    const struct {
        std::string old, expected;
    } cases[] = {
        {"<BWFXML><A>1</A>" + zero + "<B>2</B></BWFXML>", "<BWFXML><A>1</A>" + zero + "<B>2</B>" + kDoorSlamBlock + "</BWFXML>"},
        {"<BWFXML><A/>" + zero + "<USER></USER></BWFXML>", "<BWFXML><A/>" + zero + kDoorSlamBlock + "</BWFXML>"},
        {"<BWFXML><USER><FXNAME>x</FXNAME></USER></BWFXML>" + std::string(500, '\0'),
         "<BWFXML>" + kDoorSlamBlock + "</BWFXML>" + std::string(500, '\0')},
    };
    for (const auto& c : cases) {
        writeBytes(dir / "z.wav", RiffBuilder().fmt(1, 48000, 16).chunk("iXML", c.old).data16(1, 40).bytes());
        const auto before = pieces(dir / "z.wav");
        const auto audioBefore = decoded(dir / "z.wav");
        RIFFMeta::write(doorSlam(), dir / "z.wav");
        const auto after = pieces(dir / "z.wav");
        EXPECT_EQ(without(after, {"fmt ", "bext", "data"}), (std::vector<Piece>{{"iXML", c.expected}}));
        EXPECT_TRUE(without(after, {"bext", "iXML"}) == without(before, {"iXML"}));
        EXPECT_EQ(decoded(dir / "z.wav"), audioBefore);
        EXPECT_EQ(RIFFMeta::read(dir / "z.wav"), doorSlam());
    }
}

// USER is markup: "<USER>" in a comment, a CDATA section or a processing
// instruction is text, and stays as it was.
TEST(RIFFMetaWrite, UserInCommentsOrCDATAIsNoBlock) {
    TempDir dir;
    const std::string kept[] = {
        "<!-- <USER> holds the library tags -->",
        "<![CDATA[<USER>x</USER>]]>",
        "<?note <USER></USER>?>",
        "<!DOCTYPE BWFXML [<!ENTITY u \"<USER>\">]>",
    };
    for (const auto& text : kept) {
        SCOPED_TRACE(text);
        const std::string old = "<BWFXML>" + text + "<PROJECT>p</PROJECT></BWFXML>";
        writeBytes(dir / "c.wav", RiffBuilder().fmt(1, 48000, 16).chunk("iXML", old).data16(1, 40).bytes());
        const auto audioBefore = decoded(dir / "c.wav");
        RIFFMeta::write(doorSlam(), dir / "c.wav");
        EXPECT_EQ(bytesOf(dir / "c.wav", find(walk(dir / "c.wav"), "iXML")),
                  "<BWFXML>" + text + "<PROJECT>p</PROJECT>" + kDoorSlamBlock + "</BWFXML>");
        EXPECT_EQ(decoded(dir / "c.wav"), audioBefore);
        EXPECT_EQ(RIFFMeta::read(dir / "c.wav"), doorSlam());
    }
    // A real block after a commented one is the one replaced.
    writeBytes(dir / "c.wav", RiffBuilder()
                                  .chunk("iXML", "<BWFXML><!--<USER>--><USER><FXNAME>a</FXNAME></USER></BWFXML>")
                                  .data16(1, 4)
                                  .bytes());
    RIFFMeta::write(doorSlam(), dir / "c.wav");
    EXPECT_EQ(bytesOf(dir / "c.wav", find(walk(dir / "c.wav"), "iXML")),
              "<BWFXML><!--<USER>-->" + kDoorSlamBlock + "</BWFXML>");
}

// Whatever is written is read back: a reader reads the first 1 MiB of the
// first iXML, so the block never lands beyond it.
TEST(RIFFMetaWrite, TheBlockLandsWhereAReaderLooks) {
    TempDir dir;
    const std::string pad = "<PAD>" + std::string(RIFFMeta::kMaxIXMLBytes, 'x') + "</PAD>";
    auto rewritten = [&](const std::string& old) {
        writeBytes(dir / "f.wav", RiffBuilder().fmt(1, 48000, 16).chunk("iXML", old).data16(1, 40).bytes());
        RIFFMeta::write(doorSlam(), dir / "f.wav");
        EXPECT_EQ(RIFFMeta::read(dir / "f.wav"), doorSlam());
        return without(pieces(dir / "f.wav"), {"fmt ", "bext", "data"});
    };
    // No block: not before the distant root end but after the root's start.
    EXPECT_EQ(rewritten("<BWFXML>" + pad + "</BWFXML>"),
              (std::vector<Piece>{{"iXML", "<BWFXML>" + kDoorSlamBlock + pad + "</BWFXML>"}}));
    EXPECT_EQ(rewritten("<BWFXML version=\"2\">" + pad + "</BWFXML>"),
              (std::vector<Piece>{{"iXML", "<BWFXML version=\"2\">" + kDoorSlamBlock + pad + "</BWFXML>"}}));
    // A block past the first MiB moves to the front.
    EXPECT_EQ(rewritten("<BWFXML>" + pad + "<USER><FXNAME>far</FXNAME></USER><END/></BWFXML>"),
              (std::vector<Piece>{{"iXML", "<BWFXML>" + kDoorSlamBlock + pad + "<END/></BWFXML>"}}));
    // A large text with no root start near its front: kept whole, our own chunk first.
    const std::string rootless = pad + "<BWFXML></BWFXML>";
    EXPECT_EQ(rewritten(rootless), (std::vector<Piece>{{"iXML", kPrefix + kDoorSlamBlock + "</BWFXML>"},
                                                       {"iXML", rootless}}));

    // A record whose block alone passes what a reader reads is refused.
    SoundMeta huge;
    huge.notes = std::string(RIFFMeta::kMaxIXMLBytes, 'n');
    writeBytes(dir / "h.wav", RiffBuilder().fmt(1, 48000, 16).data16(1, 40).bytes());
    const std::string original = readBytes(dir / "h.wav");
    std::string text;
    EXPECT_EQ(rewriteError(huge, dir / "h.wav", &text), RIFFMeta::kMetadataTooLong);
    EXPECT_EQ(text, "Metadata too long to store in the file");
    EXPECT_EQ(readBytes(dir / "h.wav"), original);
    EXPECT_TRUE(hiddenIn(dir.path()).empty());
}

// Nothing but the metadata changes: the audio libsndfile reads, every kept
// chunk, and what other tools see; the record reads back field by field.
TEST(RIFFMetaWrite, RoundTripChangesNothingElse) {
    TempDir dir;
    writeTestFile(dir / "take.wav", 2, 48000, 48000, {.bits = 24, .channelMask = 3, .bextDescription = "Old"});
    const auto before = walk(dir / "take.wav");
    const std::string old = readBytes(dir / "take.wav");
    const Planar framesBefore = readWav(dir / "take.wav").channels;

    SoundMeta meta;
    for (const auto& row : SoundMeta::ixmlTags()) meta.*row.field = "  " + std::string(row.tag) + " <&> \u00E9\n";
    meta.rating = 5;
    RIFFMeta::write(meta, dir / "take.wav");

    const auto after = walk(dir / "take.wav");
    std::vector<RIFFMeta::Chunk> keptBefore, keptAfter;
    for (const auto& c : before)
        if (c.id != "bext" && c.id != "iXML") keptBefore.push_back(c);
    for (const auto& c : after)
        if (c.id != "bext" && c.id != "iXML") keptAfter.push_back(c);
    ASSERT_EQ(idsOf(keptBefore), idsOf(keptAfter));
    for (size_t i = 0; i < keptBefore.size(); ++i)
        EXPECT_EQ(bytesOf(dir / "take.wav", keptAfter[i]), old.substr(keptBefore[i].offset, keptBefore[i].size))
            << keptBefore[i].id;
    EXPECT_EQ(readWav(dir / "take.wav").channels, framesBefore);
    EXPECT_EQ(std::system(("ffprobe -v error -show_streams " + (dir / "take.wav").string() + " > /dev/null").c_str()), 0);

    SoundMeta expected;
    for (const auto& row : SoundMeta::ixmlTags()) expected.*row.field = std::string(row.tag) + " <&> \u00E9";
    expected.rating = 5;
    EXPECT_EQ(RIFFMeta::read(dir / "take.wav"), expected);
    // The description in bext is the record's, as written.
    EXPECT_EQ(bytesOf(dir / "take.wav", find(after, "bext")).substr(0, meta.description.size() + 3),
              meta.description + std::string(3, '\0'));
    // A value whose lines look like "TAG=value" stays that value alone.
    SoundMeta lines;
    lines.notes = "Take 2\nKEYWORDS=rain\nFXNAME: storm";
    RIFFMeta::write(lines, dir / "take.wav");
    EXPECT_EQ(RIFFMeta::read(dir / "take.wav"), lines);
}

// Where copy_file_range would be used but is refused (here: a seccomp
// filter answers ENOSYS), the copy goes through memory block by block and
// gives the same bytes.
TEST(RIFFMetaWrite, WithoutCopyFileRangeTheBytesAreTheSame) {
    TempDir dir;
    writeTestFile(dir / "take.wav", 2, 1000000, 48000, {.bits = 24});  // 6 MB: two blocks
    const uint64_t expected = expectedHash(dir / "take.wav", doorSlam(), dir / "scratch");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_copy_file_range, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog prog = {static_cast<unsigned short>(std::size(filter)), filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0)
            ::_exit(2);
        if (::syscall(SYS_copy_file_range, -1, nullptr, -1, nullptr, 1, 0) != -1 || errno != ENOSYS) ::_exit(3);
        ::_exit(rewriteError(doorSlam(), dir / "take.wav") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fileHash(dir / "take.wav"), expected);
}

// The length is known from the chunk list: a result past the RIFF limit is
// refused before anything is written (a sparse file stands in for 4 GB).
TEST(RIFFMetaWrite, AResultPastTheRIFFLimitIsRefusedFirst) {
    TempDir dir;
    // 12 + 24 + 8 + audio = 4,294,967,295 + 8 - 200: the new chunks pass it.
    const uint32_t audio = uint32_t(4294967295ull + 8 - 200 - 44);
    writeLongWav(dir / "big.wav", audio);
    struct stat before {};
    ASSERT_EQ(::stat((dir / "big.wav").c_str(), &before), 0);
    std::string text;
    EXPECT_EQ(rewriteError(doorSlam(), dir / "big.wav", &text), RIFFMeta::kTooLargeForRIFF);
    EXPECT_EQ(text, "File too large for RIFF");
    struct stat after {};
    ASSERT_EQ(::stat((dir / "big.wav").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_blocks, before.st_blocks) << "nothing was copied into the file";
    EXPECT_TRUE(hiddenIn(dir.path()).empty());
}

// A full disk at any point leaves the old file whole and no temporary.
TEST(RIFFMetaWrite, AFullDiskNeverCostsTheFile) {
    TempDir dir;
    writeTestFile(dir / "full.wav", 2, 400000, 48000, {.bits = 24});
    const std::string original = readBytes(dir / "full.wav");
    fs::copy_file(dir / "full.wav", dir / "scratch");
    RIFFMeta::write(doorSlam(), dir / "scratch");
    const uint64_t length = fs::file_size(dir / "scratch");
    fs::remove(dir / "scratch");

    for (rlim_t limit : {rlim_t(100), rlim_t(length / 2), rlim_t(length - 1)}) {
        SCOPED_TRACE(limit);
        std::string text;
        const int code = [&] {
            FileSizeLimit full(limit);
            return rewriteError(doorSlam(), dir / "full.wav", &text);
        }();
        EXPECT_EQ(code, FileAccess::kWriteFailed);
        EXPECT_NE(text.find("\"full.wav\""), std::string::npos) << text;
        EXPECT_EQ(text.find("qm-tmp"), std::string::npos) << text;
        EXPECT_TRUE(readBytes(dir / "full.wav") == original);
        EXPECT_TRUE(hiddenIn(dir.path()).empty());
    }
    RIFFMeta::write(doorSlam(), dir / "full.wav");
    EXPECT_EQ(fs::file_size(dir / "full.wav"), length);
}

// A file that shrinks or is changed in place while it is copied: an error,
// never a success, and the file under its name is not replaced.
TEST(RIFFMetaWrite, AFileChangedDuringTheCopyIsAnError) {
    TempDir dir;
    const uint32_t audio = uint32_t(5 * RIFFMeta::kCopyBlock);
    struct Reset {
        ~Reset() { RIFFMeta::setCopyObserver({}); }
    } reset;
    for (const bool shrink : {true, false}) {
        SCOPED_TRACE(shrink ? "shrinks" : "changed in place");
        writeLongWav(dir / "take.wav", audio);
        const uint64_t size = fs::file_size(dir / "take.wav");
        RIFFMeta::setCopyObserver([&](uint64_t copied) {
            if (copied < RIFFMeta::kCopyBlock || copied > 2 * RIFFMeta::kCopyBlock) return;
            if (shrink) {
                fs::resize_file(dir / "take.wav", size / 2);
            } else {
                std::fstream f(dir / "take.wav", std::ios::in | std::ios::out | std::ios::binary);
                f.seekp(std::streamoff(size - 10));
                f.write("changed", 7);
            }
        });
        std::string text;
        EXPECT_EQ(rewriteError(doorSlam(), dir / "take.wav", &text), FileAccess::kWriteFailed);
        EXPECT_NE(text.find(shrink ? "shorter" : "changed"), std::string::npos) << text;
        RIFFMeta::setCopyObserver({});
        EXPECT_EQ(fs::file_size(dir / "take.wav"), shrink ? size / 2 : size);
        EXPECT_TRUE(RIFFMeta::read(dir / "take.wav") == SoundMeta()) << "the rewrite never took the name";
        EXPECT_TRUE(hiddenIn(dir.path()).empty());
    }
}

// A rewrite killed at any moment leaves the old file or the whole new one,
// and at most a hidden temporary.
TEST(RIFFMetaWrite, AKilledRewriteLeavesTheOldOrTheNewFile) {
    TempDir dir;
    const fs::path file = dir / "long.wav";
    writeLongWav(file, 200u * 1000 * 1000);
    const uint64_t oldHash = fileHash(file);
    const uint64_t newHash = expectedHash(file, doorSlam(), dir / "scratch.wav");
    ASSERT_NE(oldHash, newHash);
    const uint64_t length = fs::file_size(file);

    std::set<uint64_t> seen;
    // The last run is never killed: it must end with the new file.
    for (uint64_t at : {uint64_t(0), uint64_t(1), length / 4, length / 2, length - 1, length, UINT64_MAX}) {
        SCOPED_TRACE(at);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                RIFFMeta::write(doorSlam(), file);
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        // Kill when the temporary holds `at` bytes (0: at once; 1: as soon as
        // it exists; `length`: while it is synced and renamed), or when the
        // child is done.
        int status = 0;
        bool exited = false;
        while (at > 0) {
            if (::waitpid(child, &status, WNOHANG) == child) {
                exited = true;
                break;
            }
            bool reached = false;
            for (const auto& name : hiddenIn(dir.path())) {
                std::error_code ec;
                const auto size = fs::file_size(dir / name, ec);
                if (!ec && size + 1 >= at) reached = true;
            }
            if (reached) break;
            ::usleep(200);
        }
        if (!exited) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        const uint64_t h = fileHash(file);
        EXPECT_TRUE(h == oldHash || h == newHash);
        seen.insert(h);
        const auto hidden = hiddenIn(dir.path());
        EXPECT_LE(hidden.size(), 1u);
        for (const auto& name : hidden) {
            EXPECT_TRUE(name.starts_with(".long.wav.") && name.ends_with(".qm-tmp")) << name;
            fs::remove(dir / name);
        }
    }
    EXPECT_TRUE(seen.count(oldHash)) << "no kill came before the rename";
    EXPECT_EQ(fileHash(file), newHash);
}

// A save killed with SIGKILL leaves its temporary, no wider than the file:
// the next save into the folder, or the next scan of it, removes it.
TEST(RIFFMetaWrite, AKilledSavesTemporaryGoesWithTheNextSaveOrScan) {
    TempDir dir;
    fs::create_directories(dir / "Lib");
    writeLongWav(dir / "Lib/private.wav", uint32_t(4 * RIFFMeta::kCopyBlock));
    writeBytes(dir / "Lib/other.wav", RiffBuilder().fmt(1, 48000, 16).data16(1, 100).bytes());
    ASSERT_EQ(::chmod((dir / "Lib/private.wav").c_str(), 0600), 0);
    const mode_t oldMask = ::umask(0);  // a wide mode would show
    auto killMidSave = [&] {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            RIFFMeta::setCopyObserver([&](uint64_t) {
                ::write(ready[1], "x", 1);
                for (;;) ::pause();
            });
            try {
                RIFFMeta::write(doorSlam(), dir / "Lib/private.wav");
            } catch (...) {
            }
            ::_exit(1);
        }
        char c;
        EXPECT_EQ(::read(ready[0], &c, 1), 1);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        const auto left = hiddenIn(dir / "Lib");
        EXPECT_EQ(left.size(), 1u);
        for (const auto& name : left) {
            struct stat st {};
            EXPECT_EQ(::stat((dir / "Lib" / name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
            EXPECT_GT(st.st_size, 0) << "killed while writing";
        }
    };
    killMidSave();
    ::umask(oldMask);
    RIFFMeta::write(doorSlam(), dir / "Lib/other.wav");
    EXPECT_TRUE(hiddenIn(dir / "Lib").empty());
    EXPECT_EQ(RIFFMeta::read(dir / "Lib/private.wav"), SoundMeta()) << "the killed save never took the name";

    ::umask(0);
    killMidSave();
    ::umask(oldMask);
    Catalog catalog(dir / "catalog.sqlite");
    LibraryScanner::scan((dir / "Lib").string(), catalog);
    EXPECT_TRUE(hiddenIn(dir / "Lib").empty());
}

// Two saves of one file at once: the file ends as one of the two complete
// results, and a reader meanwhile only ever sees complete files.
TEST(RIFFMetaWrite, TwoRewritesAtOnceAndAReaderSeeOnlyWholeFiles) {
    TempDir dir;
    const fs::path file = dir / "shared.wav";
    writeTestFile(file, 2, 1500000, 48000, {.bits = 24});
    SoundMeta a = doorSlam(), b;
    b.fxName = "Other save";
    b.designer = "B";
    const uint64_t oldHash = fileHash(file);
    const uint64_t hashA = expectedHash(file, a, dir / "scratchA");
    const uint64_t hashB = expectedHash(file, b, dir / "scratchB");

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done) {
            const uint64_t h = fileHash(file);
            if (h != oldHash && h != hashA && h != hashB) ++torn;
            ++reads;
        }
    });
    std::set<uint64_t> results;
    for (int round = 0; round < 4; ++round) {
        std::atomic<int> ready{0};
        auto save = [&](const SoundMeta& meta) {
            ++ready;
            while (ready < 2) std::this_thread::yield();
            RIFFMeta::write(meta, file);
        };
        std::thread t1(save, a), t2(save, b);
        t1.join();
        t2.join();
        const uint64_t h = fileHash(file);
        EXPECT_TRUE(h == hashA || h == hashB) << round;
        results.insert(h);
        EXPECT_TRUE(hiddenIn(dir.path()).empty());
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
}

// Links, modes and owners: a link planted at the fixed temporary name is
// never written through, a linked WAV stays a link, and the file's mode and
// owner carry over.
TEST(RIFFMetaWrite, LinksModesAndOwnersSurvive) {
    TempDir dir;
    const std::string wav = RiffBuilder().fmt(1, 48000, 16).data16(1, 100).bytes();
    writeBytes(dir / "Door.wav", wav);
    writeBytes(dir / "victim", "precious");
    fs::create_symlink(dir / "victim", dir / ".Door.wav.qm-tmp");
    RIFFMeta::write(doorSlam(), dir / "Door.wav");
    EXPECT_EQ(readBytes(dir / "victim"), "precious");
    EXPECT_TRUE(fs::is_symlink(dir / ".Door.wav.qm-tmp"));
    EXPECT_EQ(RIFFMeta::read(dir / "Door.wav").description, "Door slam");

    fs::create_directories(dir / "library");
    writeBytes(dir / "library/Real.wav", wav);
    fs::create_symlink("library/Real.wav", dir / "Link.wav");
    RIFFMeta::write(doorSlam(), dir / "Link.wav");
    EXPECT_TRUE(fs::is_symlink(dir / "Link.wav"));
    EXPECT_EQ(RIFFMeta::read(dir / "library/Real.wav").description, "Door slam");
    EXPECT_TRUE(hiddenIn(dir / "library").empty());

    writeBytes(dir / "Private.wav", wav);
    ASSERT_EQ(::chmod((dir / "Private.wav").c_str(), 0640), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((dir / "Private.wav").c_str(), 4321, 4322), 0);
    }
    RIFFMeta::write(doorSlam(), dir / "Private.wav");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "Private.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (::geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
}

// Random and damaged files: an error with the file as it was, or a file
// that keeps every chunk but the ones it owns and reads back the record.
TEST(RIFFMetaWrite, Fuzz) {
    TempDir dir;
    std::mt19937 rng(104);
    SoundMeta meta = doorSlam();
    meta.fxName = "Slam";
    meta.notes = "a & b";
    const std::string good = RiffBuilder()
                                 .fmt(1, 48000, 16)
                                 .chunk("LIST", "INFOxxxx")
                                 .chunk("iXML", "<BWFXML><USER><FXNAME>x</FXNAME></USER></BWFXML>")
                                 .bext("Desc")
                                 .data16(1, 64)
                                 .chunk("junk", "12345")
                                 .bytes();
    int written = 0;
    for (int i = 0; i < 400; ++i) {
        std::string bytes;
        if (i % 2 == 0) {
            bytes = good;
            for (int k = 0; k < 1 + int(rng() % 6); ++k) bytes[rng() % bytes.size()] = char(rng());
            if (rng() % 3 == 0) bytes.resize(rng() % bytes.size());
        } else {
            bytes = "RIFF" + le32(rng()) + "WAVE";
            bytes.resize(12 + rng() % 400);
            for (size_t k = 12; k < bytes.size(); ++k) bytes[k] = char(rng());
            for (const char* id : {"iXML", "bext", "data", "data"})
                if (rng() % 2 && bytes.size() > 24) bytes.replace(12 + rng() % (bytes.size() - 20), 4, id);
        }
        writeBytes(dir / "f.wav", bytes);
        const auto before = pieces(dir / "f.wav");
        int code = 0;
        ASSERT_NO_THROW(code = rewriteError(meta, dir / "f.wav"));
        ASSERT_TRUE(hiddenIn(dir.path()).empty());
        if (code) {
            ASSERT_EQ(code, RIFFMeta::kNotWritableWav);
            ASSERT_EQ(readBytes(dir / "f.wav"), bytes);
            continue;
        }
        ++written;
        // Every chunk but the first bext and iXML as it was (the old iXML
        // may stay behind a new one of ours); the new two come before any
        // data chunk.
        const auto after = pieces(dir / "f.wav");
        const auto kept = without(after, {"bext", "iXML"});
        ASSERT_TRUE(kept == without(before, {"bext", "iXML"}) || kept == without(before, {"bext"})) << i;
        const auto ids = idsOf(after);
        const auto firstData = std::find(ids.begin(), ids.end(), "data");
        ASSERT_LT(std::find(ids.begin(), ids.end(), "bext"), firstData);
        ASSERT_LT(std::find(ids.begin(), ids.end(), "iXML"), firstData);
        ASSERT_EQ(RIFFMeta::read(dir / "f.wav"), meta) << i;
    }
    EXPECT_GT(written, 50);
}

TEST(MetaIOWrite, OnlyWavFilesAreWritten) {
    TempDir dir;
    const std::string wav = RiffBuilder().fmt(1, 48000, 16).data16(1, 10).bytes();
    for (const char* name : {"x.rf64", "x.amb", "x.aif", "noextension", "x.wav.mp3"}) {
        SCOPED_TRACE(name);
        writeBytes(dir / name, wav);
        try {
            MetaIO::write(doorSlam(), dir / name);
            ADD_FAILURE() << "written";
        } catch (const AppError& e) {
            EXPECT_EQ(e.code(), MetaIO::kNotEmbeddable);
            EXPECT_STREQ(e.what(), "Embedding is supported for WAV/BWF files");
        }
        EXPECT_EQ(readBytes(dir / name), wav);
    }
    for (const char* name : {"TAKE.WAV", "x.Wave", "x.BWF"}) {
        writeBytes(dir / name, wav);
        MetaIO::write(doorSlam(), dir / name);
        EXPECT_EQ(MetaIO::read(dir / name).category, "DOORS") << name;
    }
    // The rewriter's own errors pass through unchanged.
    writeBytes(dir / "fmt.wav", RiffBuilder().fmt(1, 48000, 16).bytes());
    try {
        MetaIO::write(doorSlam(), dir / "fmt.wav");
        ADD_FAILURE() << "written";
    } catch (const AppError& e) {
        EXPECT_EQ(e.code(), RIFFMeta::kNotWritableWav);
    }
}
