#include "audio/AudioFileInfo.h"
#include "audio/Text.h"

#include <gtest/gtest.h>

#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/AudioPrinters.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;
using S = SpeakerID;

TEST(AudioFileInfo, BroadcastWaveFacts) {
    TempDir dir;
    auto file = dir / "Thunder.wav";
    writeTestFile(file, 2, 4800, 48000, {.kind = FileKind::wav, .bits = 24,
                                         .bextDescription = std::string("Thunder roll, distant\0\0\0", 24)});
    AudioFileInfo info = AudioFileInfo::load(file);
    EXPECT_EQ(info.url, file);
    EXPECT_EQ(info.codec, "PCM");
    EXPECT_EQ(info.bitDepth, 24);
    EXPECT_FALSE(info.isFloat);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, 4800);
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.detected, SourceFormat::speakers({S::L, S::R}));
    EXPECT_EQ(info.bextDescription, "Thunder roll, distant");
    EXPECT_EQ(info.summary(), "48 kHz \u00B7 24-bit \u00B7 2 ch");
    EXPECT_EQ(AudioFileInfo::load(file), info);
}

TEST(AudioFileInfo, SummariesOfPcmFiles) {
    TempDir dir;
    struct Case {
        double rate;
        int channels, bits;
        bool isFloat;
        const char* summary;
    };
    for (const Case& c : {Case{44100, 1, 16, false, "44.1 kHz \u00B7 16-bit \u00B7 mono"},
                          Case{22050, 3, 32, false, "22.1 kHz \u00B7 32-bit \u00B7 3 ch"},
                          Case{96000, 2, 32, true, "96 kHz \u00B7 32-bit float \u00B7 2 ch"},
                          Case{88200, 2, 64, true, "88.2 kHz \u00B7 64-bit float \u00B7 2 ch"}}) {
        auto file = dir / "f.wav";
        writeTestFile(file, c.channels, 100, c.rate, {.bits = c.bits, .isFloat = c.isFloat});
        EXPECT_EQ(AudioFileInfo::load(file).summary(), c.summary);
    }
    AudioFileInfo compressed;
    compressed.sampleRate = 44100;
    compressed.channels = 6;
    compressed.codec = "AAC";
    EXPECT_EQ(compressed.summary(), "44.1 kHz \u00B7 AAC \u00B7 6 ch");
}

TEST(AudioFileInfo, MultichannelLayoutsFromMasks) {
    TempDir dir;
    const auto bed = [](LayoutID id) { return SourceFormat::speakers(layout::speakers(id)); };
    struct Case {
        const char* name;
        int channels;
        std::optional<uint32_t> mask;
        FileKind kind;
        std::vector<uint32_t> labels;
        SourceFormat detected;
    };
    const Case cases[] = {
        {"bed51.wav", 6, 0x3F, FileKind::wavex, {1, 2, 3, 4, 5, 6}, bed(LayoutID::l51)},
        // WAV files store channels in mask-bit order: the sides come after the rears.
        {"bed714.wav", 12, 0x2D63F, FileKind::wavex, {1, 2, 3, 4, 5, 6, 10, 11, 13, 15, 16, 18},
         SourceFormat::speakers(WaveMask::mask(layout::speakers(LayoutID::l714))->order)},
        // Speakers without a mask bit: no labels, the menu's first choice.
        {"bed916.wav", 16, 0, FileKind::wavex, {}, bed(LayoutID::l916)},
        {"bed712.wav", 10, 0x63F, FileKind::wavex, {}, bed(LayoutID::l712)},
        {"field.amb", 4, std::nullopt, FileKind::amb, {200, 201, 202, 203}, SourceFormat::ambisonic(1, AmbiNorm::fuma)},
        // A B-format file with an ordinary name and extension is still FuMa.
        {"field.wav", 4, std::nullopt, FileKind::amb, {200, 201, 202, 203},
         SourceFormat::ambisonic(1, AmbiNorm::fuma)},
        // Four unlabelled channels named as AmbiX.
        {"Street_ambix.wav", 4, std::nullopt, FileKind::wav, {}, SourceFormat::ambisonic(1, AmbiNorm::sn3d)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeTestFile(dir / c.name, c.channels, 64, 48000, {.kind = c.kind, .channelMask = c.mask});
        const auto info = AudioFileInfo::load(dir / c.name);
        EXPECT_EQ(info.labels, c.labels);
        EXPECT_EQ(info.detected, c.detected);
        EXPECT_EQ(info.summary(), "48 kHz \u00B7 24-bit \u00B7 " + std::to_string(c.channels) + " ch");
    }
}

TEST(AudioFileInfo, OtherContainers) {
    TempDir dir;
    writeTestFile(dir / "a.aif", 2, 1000, 44100, {.kind = FileKind::aiff, .bits = 16});
    auto aif = AudioFileInfo::load(dir / "a.aif");
    EXPECT_EQ(aif.summary(), "44.1 kHz \u00B7 16-bit \u00B7 2 ch");
    EXPECT_EQ(aif.bextDescription, std::nullopt);

    writeTestFile(dir / "a.flac", 1, 1000, 48000, {.kind = FileKind::flac, .bits = 24});
    auto flac = AudioFileInfo::load(dir / "a.flac");
    EXPECT_EQ(flac.codec, "FLAC");
    EXPECT_EQ(flac.bitDepth, 24);
    EXPECT_FALSE(flac.isFloat);
    EXPECT_EQ(flac.summary(), "48 kHz \u00B7 FLAC \u00B7 mono");
    EXPECT_EQ(flac.detected, SourceFormat::speakers({S::C}));

    writeTestFile(dir / "a.rf64", 2, 1000, 48000, {.kind = FileKind::rf64, .bextDescription = "Big file"});
    auto rf64 = AudioFileInfo::load(dir / "a.rf64");
    EXPECT_EQ(rf64.frames, 1000);
    EXPECT_EQ(rf64.bextDescription, "Big file");

    // The same file with the BW64 form identifier.
    std::string bytes = readBytes(dir / "a.rf64");
    bytes.replace(0, 4, "BW64");
    writeBytes(dir / "a.wav", bytes);
    auto bw64 = AudioFileInfo::load(dir / "a.wav");
    EXPECT_EQ(bw64.frames, 1000);
    EXPECT_EQ(bw64.bextDescription, "Big file");
}

TEST(AudioFileInfo, UnreadableFilesThrowTheReadersError) {
    TempDir dir;
    EXPECT_THROW(AudioFileInfo::load(dir / "none.wav"), AppError);
    writeBytes(dir / "words.wav", "not audio at all");
    EXPECT_THROW(AudioFileInfo::load(dir / "words.wav"), AppError);
    writeBytes(dir / "zero.wav", "");
    EXPECT_THROW(AudioFileInfo::load(dir / "zero.wav"), AppError);
}

TEST(AudioFileInfo, AudioExtensions) {
    EXPECT_EQ(AudioFileInfo::audioExtensions().size(), 15u);
    EXPECT_TRUE(AudioFileInfo::isAudioFile("/x/Take 1.WAV"));
    EXPECT_TRUE(AudioFileInfo::isAudioFile("song.m4a"));
    EXPECT_FALSE(AudioFileInfo::isAudioFile("notes.txt"));
    EXPECT_FALSE(AudioFileInfo::isAudioFile("wav"));
    EXPECT_FALSE(AudioFileInfo::isAudioFile("song.ogg"));
    // A name alone answers as its path does, whatever the extension's length.
    for (const char* name : {"a.wav", "a.RF64", "a.Flac", "..wav", ".x.aif", "a.b.mp3", ".wav", "a.", ".", "",
                             "a.wavx", "a.wa", "a.flac0", "caf\xE9.CAF", "x.aiff\n"})
        EXPECT_EQ(AudioFileInfo::isAudioName(name), std::filesystem::path(name).has_extension() &&
                                                        AudioFileInfo::audioExtensions().contains(
                                                            text::asciiLower(std::filesystem::path(name).extension().string().substr(1))))
            << name;
}

TEST(AudioFileInfo, CompressedFilesReadThroughFfmpeg) {
    TempDir dir;
    writeTestFile(dir / "src2.wav", 2, 48000, 48000, {.bits = 16});
    writeTestFile(dir / "src6.wav", 6, 48000, 48000, {.kind = FileKind::wavex, .bits = 16, .channelMask = 0x3F});
    encodeWithFfmpeg(dir / "src2.wav", dir / "Song.m4a", "-c:a aac");
    encodeWithFfmpeg(dir / "src6.wav", dir / "Bed.mp4", "-c:a aac");
    encodeWithFfmpeg(dir / "src2.wav", dir / "Lossless.m4a", "-c:a alac");
    writeTestFile(dir / "a.mp3", 1, 44100, 44100, {.kind = FileKind::mp3});
    const std::pair<const char*, const char*> cases[] = {
        {"Song.m4a", "AAC 0 48 kHz \u00B7 AAC \u00B7 2 ch"},
        {"Bed.mp4", "AAC 0 48 kHz \u00B7 AAC \u00B7 6 ch"},
        {"Lossless.m4a", "ALAC 16 48 kHz \u00B7 ALAC \u00B7 2 ch"},
        {"a.mp3", "MP3 0 44.1 kHz \u00B7 MP3 \u00B7 mono"},
    };
    for (const auto& [name, facts] : cases) {
        const auto info = AudioFileInfo::load(dir / name);
        EXPECT_EQ(info.codec + " " + std::to_string(info.bitDepth) + " " + info.summary(), facts) << name;
        EXPECT_FALSE(info.isFloat) << name;
        EXPECT_EQ(info.bextDescription, std::nullopt) << name;
    }
    EXPECT_EQ(AudioFileInfo::load(dir / "Song.m4a").detected, SourceFormat::speakers({S::L, S::R}));
    const auto bed = AudioFileInfo::load(dir / "Bed.mp4");
    EXPECT_EQ(bed.labels, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(bed.detected, SourceFormat::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(AudioFileInfo::load(dir / "Lossless.m4a").frames, 48000);
}
