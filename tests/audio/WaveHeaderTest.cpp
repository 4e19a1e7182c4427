// The facts of a WAVE (RIFF, RF64, Wave64) or AIFF file from its header
// alone, set against what the audio reader gives the same file: whenever the
// header reader answers, its answer is the reader's to the last field; and
// it answers for the files a library is made of.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include <fmt/format.h>

#include "audio/AudioFileInfo.h"
#include "platform/ReadOnlyFile.h"
#include "support/AudioFiles.h"
#include "support/AudioPrinters.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
namespace fs = std::filesystem;

namespace {

std::optional<AudioFileInfo> fromHeader(const fs::path& p) {
    const ReadOnlyFile file(p, 65536);
    return AudioFileInfo::fromHeader(file, p);
}


std::optional<AudioFileInfo> loaded(const fs::path& p) {
    try {
        return AudioFileInfo::load(p);
    } catch (...) {
        return std::nullopt;
    }
}

std::string described(const std::optional<AudioFileInfo>& i) {
    if (!i) return "nothing";
    std::string labels;
    for (uint32_t l : i->labels) labels += fmt::format("{} ", l);
    return fmt::format("{} Hz, {} ch, {} frames, {} bits{}, {}, labels [{}], bext '{}'", i->sampleRate, i->channels,
                       i->frames, i->bitDepth, i->isFloat ? " float" : "", i->codec, labels,
                       i->bextDescription.value_or("<none>"));
}

// The header's answer, when there is one, is the reader's; true when it
// answered.
bool agrees(const fs::path& p, const std::string& what) {
    const std::optional<AudioFileInfo> header = fromHeader(p);
    if (!header) return false;
    const std::optional<AudioFileInfo> reader = loaded(p);
    EXPECT_TRUE(header == reader) << what << ": header " << described(header) << ", reader " << described(reader);
    return true;
}

std::string fmtChunk(uint16_t tag, int channels, uint32_t rate, int bits, uint16_t blockAlign,
                     const std::string& extension = "") {
    return le16(tag) + le16(static_cast<uint16_t>(channels)) + le32(rate) + le32(rate * blockAlign) +
           le16(blockAlign) + le16(static_cast<uint16_t>(bits)) + extension;
}

// WAVE_FORMAT_EXTENSIBLE's tail: valid bits, mask, sub-format GUID.
std::string extensible(int bits, uint32_t mask, uint16_t sub) {
    const std::string guidTail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    return le16(22) + le16(static_cast<uint16_t>(bits)) + le32(mask) + le16(sub) + guidTail;
}

std::string frames(size_t bytes) {
    std::string out(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>(i * 7 + 1);
    return out;
}

}  // namespace

// Files as recording and editing programs write them (here through the
// reader's own library): every one is read from its header, as the reader
// reads it.
TEST(WaveHeader, WrittenFilesAreReadAsTheReaderReadsThem) {
    TempDir dir;
    int n = 0;
    auto check = [&](const std::string& name, int channels, int64_t count, double rate, AudioFileOptions o) {
        const fs::path p = dir / fmt::format("{}-{}.{}", n++, name, o.kind == FileKind::rf64 ? "rf64" : "wav");
        writeTestFile(p, channels, count, rate, o);
        EXPECT_TRUE(agrees(p, name)) << name << " was not read from its header";
    };
    for (int bits : {8, 16, 24, 32}) check(fmt::format("int{}", bits), 2, 1001, 48000, {.bits = bits});
    for (int bits : {32, 64}) check(fmt::format("float{}", bits), 1, 777, 96000, {.bits = bits, .isFloat = true});
    check("mono 44.1", 1, 3, 44100, {.bits = 16});
    check("one frame", 6, 1, 48000, {.bits = 24});
    check("described", 2, 480, 48000, {.bits = 24, .bextDescription = std::string("Door slam, heavy  ")});
    for (uint32_t mask : {0x3u, 0x4u, 0x3Fu, 0x60Fu, 0x33u, 0x0u, 0x7u, 0xFFFFFu, 0x80000u})
        for (int channels : {1, 2, 4, 6, 8})
            check(fmt::format("mask {:x} {} ch", mask, channels), channels, 10, 48000,
                  {.kind = FileKind::wavex, .bits = 24, .channelMask = mask});
    check("extensible float", 2, 10, 48000, {.kind = FileKind::wavex, .bits = 32, .isFloat = true});
    for (int bits : {16, 24}) check(fmt::format("rf64 {}", bits), 2, 500, 48000, {.kind = FileKind::rf64, .bits = bits});
    check("rf64 float", 8, 50, 48000, {.kind = FileKind::rf64, .bits = 32, .isFloat = true});
    check("rf64 described", 2, 50, 48000, {.kind = FileKind::rf64, .bits = 24, .bextDescription = std::string("Far")});

    for (FileKind kind : {FileKind::w64, FileKind::aiff}) {
        const char* ext = kind == FileKind::w64 ? "w64" : "aiff";
        auto put = [&](const std::string& name, int channels, int64_t count, double rate, AudioFileOptions o) {
            o.kind = kind;
            const fs::path p = dir / fmt::format("{}-{}.{}", n++, name, ext);
            writeTestFile(p, channels, count, rate, o);
            EXPECT_TRUE(agrees(p, name)) << name << " (" << ext << ") was not read from its header";
        };
        for (int bits : {8, 16, 24, 32}) put(fmt::format("int{}", bits), 2, 1001, 48000, {.bits = bits});
        for (int bits : {32, 64}) put(fmt::format("float{}", bits), 1, 777, 96000, {.bits = bits, .isFloat = true});
        for (int channels : {1, 4, 6, 8}) put(fmt::format("{} ch", channels), channels, 10, 44100, {.bits = 24});
        put("one frame", 2, 1, 22050, {.bits = 16});
        put("odd 8-bit mono", 1, 9, 8000, {.bits = 8});
    }

    // What it leaves to the reader: Ambisonic B-format.
    const fs::path amb = dir / "b.amb";
    writeTestFile(amb, 4, 10, 48000, {.kind = FileKind::amb, .bits = 24});
    EXPECT_FALSE(fromHeader(amb));
    EXPECT_TRUE(loaded(amb));
}

// Chunk layouts the reader walks in its own way: where the header reader
// answers, it agrees; where it must, it answers.
TEST(WaveHeader, ChunkLayouts) {
    TempDir dir;
    int n = 0;
    auto file = [&](const std::string& bytes) {
        const fs::path p = dir / fmt::format("{}.wav", n++);
        writeBytes(p, bytes);
        return p;
    };
    auto check = [&](const std::string& name, const std::string& bytes, bool answered) {
        EXPECT_EQ(agrees(file(bytes), name), answered) << name;
    };
    const std::string pcm = fmtChunk(1, 2, 48000, 16, 4);
    const std::string list = "INFO" + std::string("INAM") + le32(5) + "Door" + std::string(1, '\0') + '\0' +
                             std::string("ICMT") + le32(2) + "ok";
    check("plain", RiffBuilder().chunk("fmt ", pcm).chunk("data", frames(400)).bytes(), true);
    check("LIST INFO, odd strings", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", list).chunk("data", frames(40)).bytes(), true);
    check("iXML of odd size on both sides", RiffBuilder().chunk("iXML", "<a/> ").chunk("fmt ", pcm).chunk("data", frames(40)).chunk("iXML", "<BWFXML/>").bytes(), true);
    check("JUNK first", RiffBuilder().chunk("JUNK", std::string(28, '\0')).chunk("fmt ", pcm).chunk("data", frames(40)).bytes(), true);
    check("bext", RiffBuilder().chunk("fmt ", pcm).bext("Rain").chunk("data", frames(40)).bytes(), true);
    check("short bext of odd size", RiffBuilder().chunk("fmt ", pcm).chunk("bext", "Rain on tin").chunk("data", frames(40)).bytes(), true);
    check("fact", RiffBuilder().chunk("fmt ", pcm).chunk("fact", le32(10)).chunk("data", frames(40)).bytes(), true);
    check("cue points", RiffBuilder().chunk("fmt ", pcm).chunk("data", frames(40)).chunk("cue ", le32(2) + std::string(48, 'c')).bytes(), true);
    check("unknown chunk of odd size", RiffBuilder().chunk("fmt ", pcm).chunk("abcd", "xyz").chunk("data", frames(40)).bytes(), true);
    check("data past the end", RiffBuilder().chunk("fmt ", pcm).chunkWithSize("data", 4000, frames(400)).bytes(), true);
    // 8-bit mono: data of odd size.
    const std::string u8 = fmtChunk(1, 1, 8000, 8, 1);
    check("odd data, padded, at the end", RiffBuilder().chunk("fmt ", u8).chunk("data", frames(9)).bytes(), true);
    std::string unpadded = RiffBuilder().chunk("fmt ", u8).chunk("data", frames(9)).bytes();
    unpadded.pop_back();
    check("odd data at the very end", unpadded, true);
    // Chunks the reader parses in ways that end where the chunk ends.
    const std::string smplLoop = std::string(28, '\0') + le32(1) + le32(0) + std::string(24, 'l');
    check("smpl", RiffBuilder().chunk("fmt ", pcm).chunk("smpl", std::string(36, '\0')).chunk("data", frames(40)).bytes(), true);
    check("smpl with a loop and sampler bytes", RiffBuilder().chunk("fmt ", pcm).chunk("smpl", smplLoop + "sampler!").chunk("data", frames(40)).bytes(), true);
    check("smpl of the bare fields", RiffBuilder().chunk("fmt ", pcm).chunk("smpl", std::string(32, '\0')).chunk("data", frames(40)).bytes(), true);
    check("acid", RiffBuilder().chunk("fmt ", pcm).chunk("acid", std::string(24, 'a')).chunk("data", frames(40)).bytes(), true);
    check("cart", RiffBuilder().chunk("fmt ", pcm).chunk("cart", std::string(2048, 'c') + "tag text").chunk("data", frames(40)).bytes(), true);
    check("short cart", RiffBuilder().chunk("fmt ", pcm).chunk("cart", "v1").chunk("data", frames(40)).bytes(), true);
    check("cart after the data", RiffBuilder().chunk("fmt ", pcm).chunk("data", frames(40)).chunk("cart", std::string(2100, 'c')).bytes(), true);
    const std::string adtl = "adtl" + std::string("labl") + le32(9) + le32(1) + "Hit" + '\0' + '\0' + '\0' +
                             std::string("note") + le32(4) + "abcd";
    check("LIST adtl with labels", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", adtl).chunk("data", frames(40)).bytes(), true);
    check("LIST with a string too long for the reader", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", "INFOICMT" + le32(3000) + std::string(3000, 'x')).chunk("data", frames(40)).bytes(), true);
    check("bare INFO chunk", RiffBuilder().chunk("fmt ", pcm).chunk("INFO", "INAM" + le32(4) + "Door").chunk("data", frames(40)).bytes(), true);
    check("24-bit in three bytes", RiffBuilder().chunk("fmt ", fmtChunk(1, 3, 44100, 24, 9)).chunk("data", frames(90)).bytes(), true);
    check("extensible with a short mask",
          RiffBuilder().chunk("fmt ", fmtChunk(0xFFFE, 6, 48000, 16, 12, extensible(16, 0x7, 1))).chunk("data", frames(120)).bytes(), true);

    // Left to the reader.
    check("no data", RiffBuilder().chunk("fmt ", pcm).bytes(), false);
    check("odd data, then a chunk", RiffBuilder().chunk("fmt ", u8).chunk("data", frames(9)).chunk("LIST", list).bytes(), false);
    check("data before fmt", RiffBuilder().chunk("data", frames(40)).chunk("fmt ", pcm).bytes(), false);
    check("data of size 0", RiffBuilder().chunk("fmt ", pcm).chunk("data", "").chunk("JUNK", frames(40)).bytes(), false);
    check("second fmt", RiffBuilder().chunk("fmt ", pcm).chunk("fmt ", pcm).chunk("data", frames(40)).bytes(), false);
    check("second data", RiffBuilder().chunk("fmt ", pcm).chunk("data", frames(40)).chunk("data", frames(8)).bytes(), false);
    check("unprintable name", RiffBuilder().chunk("fmt ", pcm).chunk(std::string("a\x01c\x7F", 4), "xy").chunk("data", frames(40)).bytes(), false);
    check("PEAK of the wrong size", RiffBuilder().chunk("fmt ", pcm).chunk("PEAK", std::string(12, '\0')).chunk("data", frames(40)).bytes(), false);
    check("cue points miscounted", RiffBuilder().chunk("fmt ", pcm).chunk("cue ", le32(3) + std::string(48, 'c')).chunk("data", frames(40)).bytes(), false);
    check("smpl of odd size", RiffBuilder().chunk("fmt ", pcm).chunk("smpl", std::string(37, '\0')).chunk("data", frames(40)).bytes(), false);
    check("smpl too short for its loop count", RiffBuilder().chunk("fmt ", pcm).chunk("smpl", std::string(28, '\0') + le32(2)).chunk("data", frames(40)).bytes(), false);
    check("acid too short", RiffBuilder().chunk("fmt ", pcm).chunk("acid", std::string(20, 'a')).chunk("data", frames(40)).bytes(), false);
    // The reader takes a LIST's type for a sub-chunk's name unless it is
    // INFO or adtl.
    check("LIST of another type", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", "wavl" + std::string("abcd") + le32(4) + "wxyz").chunk("data", frames(40)).bytes(), false);
    check("LIST holding data", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", "INFOdata" + le32(4) + "abcd").chunk("data", frames(40)).bytes(), false);
    check("LIST whose sub-chunk runs past it", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", "wavlabcd" + le32(40) + "wxyz").chunk("data", frames(40)).bytes(), false);
    // The reader's header buffer cannot grow past 100 KiB: chunks it reads
    // beyond that are left to it.
    {
        RiffBuilder b;
        b.chunk("fmt ", pcm);
        for (int k = 0; k < 30; ++k) b.chunk("cart", std::string(4000, 'c'));
        check("more chunks read than the reader's buffer holds", b.chunk("data", frames(40)).bytes(), false);
    }
    check("a large chunk the reader jumps", RiffBuilder().chunk("fmt ", pcm).chunk("JUNK", std::string(300000, '\0')).chunk("cart", std::string(3000, 'c')).chunk("data", frames(40)).bytes(), true);
    check("LIST whose string runs past it", RiffBuilder().chunk("fmt ", pcm).chunk("LIST", "INFOINAM" + le32(50) + "x").chunk("data", frames(40)).bytes(), true);
    check("12-bit", RiffBuilder().chunk("fmt ", fmtChunk(1, 1, 48000, 12, 2)).chunk("data", frames(40)).bytes(), false);
    check("24-bit in four bytes", RiffBuilder().chunk("fmt ", fmtChunk(1, 1, 48000, 24, 4)).chunk("data", frames(40)).bytes(), false);
    check("block align off", RiffBuilder().chunk("fmt ", fmtChunk(1, 2, 48000, 16, 2)).chunk("data", frames(40)).bytes(), false);
    check("mu-law", RiffBuilder().chunk("fmt ", fmtChunk(7, 1, 8000, 8, 1)).chunk("data", frames(40)).bytes(), false);
    check("float of 24 bits", RiffBuilder().chunk("fmt ", fmtChunk(3, 1, 48000, 24, 3)).chunk("data", frames(40)).bytes(), false);
    check("a rate of 2 Hz", RiffBuilder().chunk("fmt ", fmtChunk(1, 1, 2, 16, 2)).chunk("data", frames(40)).bytes(), false);
    check("no channels", RiffBuilder().chunk("fmt ", fmtChunk(1, 0, 48000, 16, 0)).chunk("data", frames(40)).bytes(), false);
    check("a fragment after the last chunk", RiffBuilder().chunk("fmt ", pcm).chunk("data", frames(40)).bytes() + "JUN", false);
    check("Ogg inside", RiffBuilder().chunk("fmt ", pcm).chunk("data", "OggS" + frames(40)).bytes(), false);
    check("RIFX", RiffBuilder("RIFX").chunk("fmt ", pcm).chunk("data", frames(40)).bytes(), false);
}

// Wave64 and AIFF layouts as other programs write them, and what is left to
// the reader.
TEST(WaveHeader, Wave64AndAiffLayouts) {
    TempDir dir;
    int n = 0;
    auto check = [&](const std::string& name, const std::string& bytes, bool answered, const char* ext) {
        const fs::path p = dir / fmt::format("{}.{}", n++, ext);
        writeBytes(p, bytes);
        EXPECT_EQ(agrees(p, name), answered) << name;
    };
    const std::string pcm = fmtChunk(1, 2, 48000, 16, 4);
    auto w64 = [&](const std::string& name, const W64Builder& b, bool answered) { check(name, b.bytes(), answered, "w64"); };
    w64("plain", W64Builder().chunk(w64Guid("fmt "), pcm).chunk(w64Guid("data"), frames(400)), true);
    w64("fact", W64Builder().chunk(w64Guid("fmt "), fmtChunk(3, 1, 44100, 32, 4)).chunk(w64Guid("fact"), le64(10)).chunk(w64Guid("data"), frames(40)), true);
    w64("fmt with an extension", W64Builder().chunk(w64Guid("fmt "), pcm + le16(0)).chunk(w64Guid("data"), frames(40)), true);
    w64("odd data", W64Builder().chunk(w64Guid("fmt "), fmtChunk(1, 1, 8000, 8, 1)).chunk(w64Guid("data"), frames(9)), true);
    w64("data past the end", W64Builder().chunkWithSize(w64Guid("fmt "), 24 + 16, pcm).chunkWithSize(w64Guid("data"), 24 + 4000, frames(400)), true);
    // The reader takes the audio to run to the file's end: whatever follows
    // the data is audio to it, or more, in its own walk.
    w64("an unknown chunk after the data", W64Builder().chunk(w64Guid("fmt "), pcm).chunk(w64Guid("data"), frames(40)).chunk(w64Guid("abcd"), frames(64)), false);
    w64("list after the data", W64Builder().chunk(w64Guid("fmt "), pcm).chunk(w64Guid("data"), frames(40)).chunk(w64Guid("list", true), frames(64)), false);
    w64("second data", W64Builder().chunk(w64Guid("fmt "), pcm).chunk(w64Guid("data"), frames(40)).chunk(w64Guid("data"), frames(16)), false);
    w64("junk", W64Builder().chunk(w64Guid("junk"), std::string(64, '\0')).chunk(w64Guid("fmt "), pcm).chunk(w64Guid("data"), frames(40)), false);
    w64("extensible", W64Builder().chunk(w64Guid("fmt "), fmtChunk(0xFFFE, 2, 48000, 16, 4, extensible(16, 3, 1))).chunk(w64Guid("data"), frames(40)), false);
    w64("mu-law", W64Builder().chunk(w64Guid("fmt "), fmtChunk(7, 1, 8000, 8, 1)).chunk(w64Guid("data"), frames(40)), false);
    w64("no data", W64Builder().chunk(w64Guid("fmt "), pcm).chunk(w64Guid("abcd"), frames(64)), false);

    auto aiff = [&](const std::string& name, const AiffBuilder& b, bool answered) { check(name, b.bytes(), answered, "aif"); };
    const std::string audio = frames(400);
    aiff("plain", AiffBuilder().comm(2, 44100, 16).ssnd(audio), true);
    aiff("AIFC uncompressed", AiffBuilder("AIFC").chunk("FVER", be32(0xA2805140)).comm(2, 48000, 24, "NONE").ssnd(frames(60)), true);
    aiff("AIFC little-endian", AiffBuilder("AIFC").comm(2, 48000, 16, "sowt").ssnd(audio), true);
    aiff("AIFC float", AiffBuilder("AIFC").comm(1, 96000, 32, "fl32").ssnd(audio), true);
    aiff("AIFC double, size stated wrong", AiffBuilder("AIFC").comm(1, 96000, 16, "fl64").ssnd(audio), true);
    aiff("SSND offset", AiffBuilder().comm(2, 44100, 16).ssnd(audio, 12), true);
    aiff("text chunks", AiffBuilder().chunk("NAME", "Door").chunk("AUTH", "odd").comm(2, 44100, 16).chunk("ANNO", "x").ssnd(audio).chunk("(c) ", "2024"), true);
    aiff("ID3 and APPL", AiffBuilder().comm(2, 44100, 16).chunk("APPL", "m3gaabc ").ssnd(audio).chunk("ID3 ", frames(30)), true);
    aiff("INST", AiffBuilder().comm(2, 44100, 16).chunk("INST", std::string(20, '\0')).ssnd(audio), true);
    aiff("PEAK", AiffBuilder().comm(2, 44100, 16).chunk("PEAK", std::string(24, '\0')).ssnd(audio), true);
    aiff("SSND past the end", AiffBuilder().comm(2, 44100, 16).chunkWithSize("SSND", 8000, be32(0) + be32(0) + audio), true);
    aiff("odd 8-bit data", AiffBuilder().comm(1, 8000, 8).ssnd(frames(9)).chunk("NAME", "after"), true);
    aiff("rate of 44.1 kHz and a half", AiffBuilder().comm(2, 44100.5, 16).ssnd(audio), false);
    aiff("12-bit", AiffBuilder().comm(1, 44100, 12).ssnd(audio), false);
    aiff("IMA ADPCM", AiffBuilder("AIFC").comm(1, 44100, 16, "ima4").ssnd(audio), false);
    aiff("mu-law", AiffBuilder("AIFC").comm(1, 8000, 16, "ulaw").ssnd(audio), false);
    aiff("channel layout", AiffBuilder().comm(2, 44100, 16).chunk("CHAN", std::string(12, '\0')).ssnd(audio), false);
    aiff("markers", AiffBuilder().comm(2, 44100, 16).chunk("MARK", be16(0)).ssnd(audio), false);
    aiff("PEAK before COMM", AiffBuilder().chunk("PEAK", std::string(24, '\0')).comm(2, 44100, 16).ssnd(audio), false);
    aiff("no SSND", AiffBuilder().comm(2, 44100, 16).chunk("NAME", "x"), false);
    aiff("second COMM", AiffBuilder().comm(2, 44100, 16).comm(1, 48000, 16).ssnd(audio), false);
    aiff("COMM of 20 bytes", AiffBuilder().chunk("COMM", be16(2) + be32(0) + be16(16) + extended80(44100) + "ab").ssnd(audio), false);
}

// Random chunk sequences, sizes odd and even, declared sizes that run short
// or long: the header reader never disagrees with the reader.
TEST(WaveHeader, RandomLayoutsNeverDisagree) {
    TempDir dir;
    std::mt19937 rng(52);
    const std::vector<std::string> ids = {"fmt ", "data", "LIST", "iXML", "bext", "JUNK", "fact", "PEAK",
                                          "cue ", "abcd", "PAD ", "smpl", "ds64", "umid", "cart", "acid", "INFO"};
    int answered = 0;
    for (int i = 0; i < 600; ++i) {
        RiffBuilder b(rng() % 8 == 0 ? "RF64" : "RIFF");
        const int channels = 1 + static_cast<int>(rng() % 3), bits = 8 * (1 + static_cast<int>(rng() % 4));
        auto randomChunks = [&] {
            const int chunks = static_cast<int>(rng() % 3);
            for (int k = 0; k < chunks; ++k) {
                const std::string& id = ids[rng() % ids.size()];
                const size_t size = rng() % 3 == 0 ? 8 + 8 * static_cast<size_t>(channels) : rng() % 61;
                std::string payload = id == "LIST" ? "INFO" + frames(size) : frames(size);
                if (rng() % 6 == 0)
                    b.chunkWithSize(id, static_cast<uint32_t>(payload.size() + rng() % 9) - 4, payload);
                else
                    b.chunk(id, payload);
            }
        };
        randomChunks();
        if (rng() % 10) b.chunk("fmt ", fmtChunk(1, channels, 44100, bits, static_cast<uint16_t>(channels * bits / 8)));
        randomChunks();
        if (rng() % 10) b.chunk("data", frames(rng() % 200));
        randomChunks();
        std::string bytes = b.bytes();
        if (rng() % 5 == 0 && bytes.size() > 12) bytes.resize(bytes.size() - rng() % std::min<size_t>(bytes.size() - 12, 9));
        const fs::path p = dir / fmt::format("r{}.wav", i);
        writeBytes(p, bytes);
        answered += agrees(p, fmt::format("random file {}", i)) ? 1 : 0;
        if (HasFailure()) break;
    }
    EXPECT_GT(answered, 20);
}

// Random Wave64 and AIFF files: the header reader never disagrees with the
// reader.
TEST(WaveHeader, RandomWave64AndAiffLayoutsNeverDisagree) {
    TempDir dir;
    std::mt19937 rng(64);
    const std::vector<std::string> w64Ids = {w64Guid("fmt "), w64Guid("data"), w64Guid("fact"), w64Guid("junk"), w64Guid("abcd"),
                                             w64Guid("list", true)};
    const std::vector<std::string> aiffIds = {"COMM", "SSND", "NAME", "ANNO", "FVER", "PEAK", "INST",
                                              "APPL", "ID3 ", "abcd", "MARK", "CHAN", "AUTH"};
    int answered = 0;
    for (int i = 0; i < 800; ++i) {
        const int channels = 1 + static_cast<int>(rng() % 3), bits = 8 * (1 + static_cast<int>(rng() % 4));
        const bool isW64 = i % 2 == 0;
        std::string bytes;
        if (isW64) {
            W64Builder b;
            auto randomChunks = [&] {
                for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
                    const std::string& id = w64Ids[rng() % w64Ids.size()];
                    const std::string payload = frames(rng() % 61);
                    if (rng() % 6 == 0)
                        b.chunkWithSize(id, 24 + payload.size() + rng() % 9 - 4, payload);
                    else
                        b.chunk(id, payload);
                }
            };
            if (rng() % 4 == 0) randomChunks();
            if (rng() % 10) b.chunk(w64Guid("fmt "), fmtChunk(1, channels, 44100, bits, static_cast<uint16_t>(channels * bits / 8)));
            if (rng() % 3 == 0) randomChunks();
            if (rng() % 10) b.chunk(w64Guid("data"), frames(rng() % 200));
            randomChunks();
            bytes = b.bytes();
        } else {
            AiffBuilder b(rng() % 2 ? "AIFF" : "AIFC");
            auto randomChunks = [&] {
                for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
                    const std::string& id = aiffIds[rng() % aiffIds.size()];
                    const size_t size = rng() % 3 == 0 ? 8 + 8 * static_cast<size_t>(channels) : rng() % 61;
                    const std::string payload = frames(size);
                    if (rng() % 6 == 0)
                        b.chunkWithSize(id, static_cast<uint32_t>(payload.size() + rng() % 9) - 4, payload);
                    else
                        b.chunk(id, payload);
                }
            };
            randomChunks();
            static const std::vector<std::string> compressions = {"", "NONE", "sowt", "twos", "fl32", "in24", "raw "};
            if (rng() % 10) b.comm(channels, rng() % 5 ? 44100 : 12345.5, bits, compressions[rng() % compressions.size()]);
            randomChunks();
            if (rng() % 10) b.ssnd(frames(rng() % 200), rng() % 4 ? 0 : static_cast<uint32_t>(rng() % 16));
            randomChunks();
            bytes = b.bytes();
        }
        if (rng() % 5 == 0 && bytes.size() > 48) bytes.resize(bytes.size() - rng() % std::min<size_t>(bytes.size() - 48, 9));
        const fs::path p = dir / fmt::format("r{}.{}", i, isW64 ? "w64" : "aiff");
        writeBytes(p, bytes);
        answered += agrees(p, fmt::format("random file {}", i)) ? 1 : 0;
        if (HasFailure()) break;
    }
    EXPECT_GT(answered, 80);
}
