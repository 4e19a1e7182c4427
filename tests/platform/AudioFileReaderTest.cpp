#include "platform/AudioFileReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include <sndfile.h>
#include <sys/resource.h>

#include "platform/AppError.h"
#include "platform/FfmpegReader.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

using namespace qm;
using namespace qm::test;

namespace {

// Reads [position, position + frames) into planar vectors.
Planar readRange(AudioFileReader& r, int64_t position, int64_t frames) {
    const int nch = r.format().channels;
    Planar out(static_cast<size_t>(nch), std::vector<float>(static_cast<size_t>(frames)));
    std::vector<float*> ptrs;
    for (auto& ch : out) ptrs.push_back(ch.data());
    int64_t got = r.read(position, ptrs.data(), frames);
    for (auto& ch : out) ch.resize(static_cast<size_t>(got));
    return out;
}

Planar readAll(AudioFileReader& r) {
    const int nch = r.format().channels;
    Planar all(static_cast<size_t>(nch));
    int64_t pos = 0;
    for (;;) {
        Planar block = readRange(r, pos, 1000);
        if (block[0].empty()) break;
        for (int c = 0; c < nch; ++c) all[c].insert(all[c].end(), block[c].begin(), block[c].end());
        pos += static_cast<int64_t>(block[0].size());
    }
    return all;
}

// Random reads in shuffled order must equal the same range of a sequential read.
void expectRandomReadsMatch(AudioFileReader& r, const Planar& sequential, float tolerance) {
    std::mt19937 rng(7);
    const int64_t n = static_cast<int64_t>(sequential[0].size());
    for (int k = 0; k < 40; ++k) {
        int64_t pos = std::uniform_int_distribution<int64_t>(0, n - 1)(rng);
        int64_t len = std::uniform_int_distribution<int64_t>(1, 3000)(rng);
        Planar got = readRange(r, pos, len);
        ASSERT_EQ(static_cast<int64_t>(got[0].size()), std::min(len, n - pos)) << "at " << pos;
        for (size_t c = 0; c < got.size(); ++c)
            for (size_t i = 0; i < got[c].size(); ++i)
                ASSERT_NEAR(got[c][i], sequential[c][pos + i], tolerance)
                    << "channel " << c << " frame " << pos + i;
    }
}

struct PcmCase {
    const char* name;
    FileKind kind;
    int bits;
    bool isFloat;
    const char* codec;
};

void PrintTo(const PcmCase& c, std::ostream* os) { *os << c.name; }

class PcmFiles : public testing::TestWithParam<PcmCase> {};

}  // namespace

TEST_P(PcmFiles, GiveTheirFactsAndExactFramesAtAnyPosition) {
    const PcmCase& p = GetParam();
    TempDir dir;
    auto file = dir / (std::string(p.name) + "-48000-3.bin");
    writeTestFile(file, 3, 40000, 48000, {.kind = p.kind, .bits = p.bits, .isFloat = p.isFloat});
    auto r = AudioFileReader::open(file);
    const auto& f = r->format();
    EXPECT_EQ(f.codec, p.codec);
    EXPECT_EQ(f.bitsPerChannel, p.bits);
    EXPECT_EQ(f.isFloat, p.isFloat);
    EXPECT_EQ(f.sampleRate, 48000);
    EXPECT_EQ(f.channels, 3);
    EXPECT_EQ(f.frames, 40000);

    Planar all = readAll(*r);
    Planar want = staircaseSignal(3, 40000);
    ASSERT_EQ(all[0].size(), 40000u);
    if (p.bits >= 16) {
        EXPECT_EQ(all, want);
    }
    expectRandomReadsMatch(*r, all, 0);
    // Reads end at the end of the file.
    EXPECT_EQ(readRange(*r, 39990, 100)[0].size(), 10u);
    EXPECT_TRUE(readRange(*r, 40000, 100)[0].empty());
    EXPECT_TRUE(readRange(*r, 1'000'000, 100)[0].empty());
    EXPECT_TRUE(readRange(*r, 0, 0)[0].empty());
    EXPECT_THROW(readRange(*r, -1, 10), AppError);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, PcmFiles,
    testing::Values(PcmCase{"wav8", FileKind::wav, 8, false, "PCM"},
                    PcmCase{"wav16", FileKind::wav, 16, false, "PCM"},
                    PcmCase{"wav24", FileKind::wav, 24, false, "PCM"},
                    PcmCase{"wav32", FileKind::wav, 32, false, "PCM"},
                    PcmCase{"wavfloat", FileKind::wav, 32, true, "PCM"},
                    PcmCase{"wavdouble", FileKind::wav, 64, true, "PCM"},
                    PcmCase{"rf64", FileKind::rf64, 24, false, "PCM"},
                    PcmCase{"w64", FileKind::w64, 16, false, "PCM"},
                    PcmCase{"aiff", FileKind::aiff, 16, false, "PCM"},
                    PcmCase{"aifc", FileKind::aiff, 32, true, "PCM"},
                    PcmCase{"caf", FileKind::caf, 24, false, "PCM"},
                    PcmCase{"flac16", FileKind::flac, 16, false, "FLAC"},
                    PcmCase{"flac24", FileKind::flac, 24, false, "FLAC"}),
    [](const auto& info) { return std::string(info.param.name); });

// Extensible masks become channel labels when they cover every channel;
// 9.1.6 and 7.1.2 have speakers without a mask bit, so such files are written
// without a mask or with one covering only some channels, and carry no labels,
// as a plain multichannel WAV does. Ambisonic B-format gives its layout tag.
TEST(AudioFileReader, ChannelLabelsAndLayoutTags) {
    TempDir dir;
    struct Case {
        FileKind kind;
        int channels;
        std::optional<uint32_t> mask;
        std::vector<uint32_t> labels;
        uint32_t layoutTag = 0;
    };
    const std::vector<Case> cases = {
        {FileKind::wavex, 6, 0x3F, {1, 2, 3, 4, 5, 6}},
        {FileKind::wavex, 8, 0x63F, {1, 2, 3, 4, 5, 6, 10, 11}},
        {FileKind::wavex, 12, 0x2D63F, {1, 2, 3, 4, 5, 6, 10, 11, 13, 15, 16, 18}},
        {FileKind::wavex, 4, 0x107, {1, 2, 3, 9}},
        {FileKind::wavex, 2, 0x3, {1, 2}},
        {FileKind::wavex, 16, 0, {}},
        {FileKind::wavex, 10, 0, {}},
        {FileKind::wavex, 10, 0x63F, {}},
        {FileKind::wavex, 6, 0, {}},
        {FileKind::wav, 6, std::nullopt, {}},
        {FileKind::amb, 4, std::nullopt, {200, 201, 202, 203}, 0x6B0004},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        auto file = dir / ("labels" + std::to_string(i) + ".wav");
        writeTestFile(file, c.channels, 500, 48000, {.kind = c.kind, .channelMask = c.mask});
        auto r = AudioFileReader::open(file);
        EXPECT_EQ(r->format().channelLabels, c.labels);
        EXPECT_EQ(r->format().layoutTag, c.layoutTag);
        EXPECT_EQ(readAll(*r), staircaseSignal(c.channels, 500));
    }
}

TEST(AudioFileReader, BadFilesThrowAppErrors) {
    TempDir dir;
    auto expectError = [](const std::filesystem::path& p, int code) {
        try {
            AudioFileReader::open(p);
            ADD_FAILURE() << p << " opened";
        } catch (const AppError& e) {
            EXPECT_EQ(e.code(), code) << p;
            EXPECT_FALSE(e.description().empty());
        }
    };
    expectError(dir / "missing.wav", kAudioFileNotFound);
    writeBytes(dir / "empty.wav", "");
    expectError(dir / "empty.wav", kAudioFileUnreadable);
    writeBytes(dir / "text.wav", "This is not a sound file, only some words of text.\n");
    expectError(dir / "text.wav", kAudioFileUnreadable);
    std::string why;
    EXPECT_EQ(ffmpeg::open(dir / "text.wav", &why), nullptr);
    EXPECT_FALSE(why.empty());
    expectError(dir.path(), kAudioFileUnreadable);
    writeBytes(dir / "header-only.wav", "RIFF\x04\x00\x00\x00WAVE");
    expectError(dir / "header-only.wav", kAudioFileUnreadable);
}

TEST(AudioFileReader, TruncatedWavReadsWhatIsThere) {
    TempDir dir;
    auto file = dir / "cut.wav";
    writeTestFile(file, 2, 10000, 44100, {.kind = FileKind::wav, .bits = 16});
    std::filesystem::resize_file(file, std::filesystem::file_size(file) - 4 * 2500 - 1);
    auto r = AudioFileReader::open(file);
    Planar all = readAll(*r);
    // The length is what the file holds, not what its header claims.
    EXPECT_EQ(r->format().frames, 7499);
    EXPECT_EQ(static_cast<int64_t>(all[0].size()), r->format().frames);
    for (size_t i = 0; i < all[0].size(); ++i) ASSERT_EQ(all[1][i], staircase(1, static_cast<int64_t>(i)));
}

namespace {

struct LossyCase {
    const char* name;
    const char* codec;
    // How the file is made: a libsndfile kind, or ffmpeg arguments applied to a WAV.
    std::optional<FileKind> kind;
    const char* ffmpegArgs;
    bool lossless;
    bool alignedStart = true;  // false where the container cannot declare encoder priming
};

void PrintTo(const LossyCase& c, std::ostream* os) { *os << c.name; }

class CompressedFiles : public testing::TestWithParam<LossyCase> {};

}  // namespace

// Compressed files: the length is the exact number of frames a sequential
// decode gives (no encoder priming), and reads at random positions give the
// same samples as that sequential decode.
TEST_P(CompressedFiles, ExactLengthAndFrameAccurateReads) {
    const LossyCase& p = GetParam();
    TempDir dir;
    const int64_t frames = 48000 * 3 + 123;
    // A chirp: no two stretches alike, so any shift of the frames shows.
    Planar signal = staircaseSignal(2, frames);
    for (int64_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / 48000;
        signal[0][i] = static_cast<float>(0.5 * std::sin(2 * M_PI * (100 * t + 800 * t * t)));
    }
    auto file = dir / p.name;
    if (p.kind) {
        writeAudioFile(file, signal, 48000, {.kind = *p.kind, .bits = 16});
    } else {
        auto wav = dir / "source.wav";
        writeAudioFile(wav, signal, 48000, {.kind = FileKind::wav, .bits = 16});
        encodeWithFfmpeg(wav, file, p.ffmpegArgs);
    }
    auto r = AudioFileReader::open(file);
    EXPECT_EQ(r->format().codec, p.codec);
    EXPECT_EQ(r->format().channels, 2);
    EXPECT_EQ(r->format().sampleRate, 48000);
    Planar all = readAll(*r);
    EXPECT_EQ(static_cast<int64_t>(all[0].size()), r->format().frames);
    if (p.lossless) {
        EXPECT_EQ(r->format().frames, frames);
        EXPECT_EQ(all[1], signal[1]);
    } else if (p.alignedStart) {
        // The chirp is where it was written: no priming offset.
        double err = 0, ref = 0;
        for (int64_t i = 4800; i < frames - 4800; ++i) {
            err += std::pow(all[0][i] - signal[0][i], 2);
            ref += std::pow(signal[0][i], 2);
        }
        EXPECT_LT(err / ref, 0.01) << "decoded signal is shifted or damaged";
        // Encoders may drop or pad a little at the end; the start is exact.
        EXPECT_NEAR(static_cast<double>(r->format().frames), static_cast<double>(frames), 1024);
    }
    // Decoders with noise substitution differ by a few units in the last
    // place after a seek; a shift of one frame differs by far more.
    auto again = AudioFileReader::open(file);
    expectRandomReadsMatch(*again, all, p.lossless ? 0.0f : 1e-3f);
    EXPECT_TRUE(readRange(*again, r->format().frames, 10)[0].empty());

    // FFmpeg also reads what libsndfile reads; its seeks must be as exact where
    // timestamps are estimates (MP3) as where they are exact (Ogg).
    if (p.kind) {
        std::string why;
        auto f = ffmpeg::open(file, &why);
        ASSERT_TRUE(f) << why;
        Planar decoded = readAll(*f);
        EXPECT_EQ(static_cast<int64_t>(decoded[0].size()), f->format().frames);
        EXPECT_NEAR(static_cast<double>(f->format().frames), static_cast<double>(frames), 1152);
        expectRandomReadsMatch(*ffmpeg::open(file, &why), decoded, 1e-3f);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Readers, CompressedFiles,
    testing::Values(LossyCase{"aac.m4a", "AAC", std::nullopt, "-c:a aac -b:a 128k", false},
                    LossyCase{"aac.mp4", "AAC", std::nullopt, "-c:a aac -b:a 96k", false},
                    LossyCase{"alac.m4a", "ALAC", std::nullopt, "-c:a alac", true},
                    LossyCase{"mp3.mp3", "MP3", FileKind::mp3, "", false},
                    LossyCase{"vorbis.ogg", "Compressed", FileKind::ogg, "", false},
                    LossyCase{"opus.opus", "Opus", FileKind::opus, "", false},
                    LossyCase{"adts.aac", "AAC", std::nullopt, "-c:a aac -f adts", false, false}),
    [](const auto& info) {
        std::string n = info.param.name;
        std::replace(n.begin(), n.end(), '.', '_');
        return n;
    });

// Damaged files either refuse to open with an AppError or open and read
// without crashing; a read never returns more than was asked.
TEST(AudioFileReader, DamagedFilesNeverCrash) {
    TempDir dir;
    writeTestFile(dir / "good.wav", 2, 3000, 48000, {.bits = 16});
    encodeWithFfmpeg(dir / "good.wav", dir / "good.m4a", "-c:a aac");
    writeTestFile(dir / "good.flac", 2, 3000, 48000, {.kind = FileKind::flac, .bits = 16});
    std::mt19937_64 rng(99);
    int opened = 0, refused = 0;
    for (const char* name : {"good.wav", "good.m4a", "good.flac"}) {
        const std::string original = readBytes(dir / name);
        for (int k = 0; k < 60; ++k) {
            std::string bytes = original;
            const int flips = 1 + static_cast<int>(rng() % 16);
            for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] = static_cast<char>(rng());
            if (k % 3 == 0) bytes.resize(rng() % bytes.size());
            auto file = dir / (std::string("bad-") + name);
            writeBytes(file, bytes);
            try {
                auto r = AudioFileReader::open(file);
                ++opened;
                const auto& f = r->format();
                ASSERT_GT(f.channels, 0);
                for (int64_t pos : {int64_t{0}, f.frames / 2, int64_t{10}, f.frames - 1}) {
                    try {
                        EXPECT_LE(readRange(*r, std::max<int64_t>(pos, 0), 4096)[0].size(), 4096u);
                    } catch (const AppError&) {
                    }
                }
            } catch (const AppError& e) {
                ++refused;
                EXPECT_FALSE(e.description().empty());
            }
        }
    }
    EXPECT_GT(opened, 0);
    EXPECT_GT(refused, 0);
}

namespace {

void expectRefused(const std::filesystem::path& p, int code) {
    try {
        AudioFileReader::open(p);
        ADD_FAILURE() << p << " opened";
    } catch (const AppError& e) {
        EXPECT_EQ(e.code(), code) << p;
    }
}

// Peak resident memory of this process, in MiB.
long peakMiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

// The byte offset of the first `tag` after `from`, or npos.
size_t find(const std::string& bytes, const std::string& tag, size_t from = 0) { return bytes.find(tag, from); }

}  // namespace

// A header may state any rate; buffers, filters and delays are sized from
// it, so rates no audio file has are refused when the file is opened.
TEST(AudioFileReader, RatesNoAudioFileHasAreRefused) {
    TempDir dir;
    for (uint32_t rate : {1u, 40u, 999u, 768001u, 2147483647u}) {
        auto file = dir / ("rate-" + std::to_string(rate) + ".wav");
        writeBytes(file, RiffBuilder().fmt(1, rate, 16).data16(1, 400).bytes());
        expectRefused(file, kAudioFileUnreadable);
    }
    for (uint32_t rate : {1000u, 8000u, 768000u}) {
        auto file = dir / ("rate-" + std::to_string(rate) + ".wav");
        writeBytes(file, RiffBuilder().fmt(1, rate, 16).data16(1, 400).bytes());
        EXPECT_EQ(AudioFileReader::open(file)->format().sampleRate, rate);
    }
}

// The length is what a sequential read yields, whatever the header says:
// a cut FLAC, a cut MP3 and a cut MP4 read to their real ends, at any
// position.
TEST(AudioFileReader, CutFilesAreAsLongAsWhatTheyHold) {
    TempDir dir;
    const int64_t frames = 48000 * 2;
    writeTestFile(dir / "whole.flac", 2, frames, 48000, {.kind = FileKind::flac, .bits = 16});
    writeTestFile(dir / "whole.mp3", 2, frames, 48000, {.kind = FileKind::mp3});
    writeTestFile(dir / "whole.wav", 2, frames, 48000, {.bits = 16});
    encodeWithFfmpeg(dir / "whole.wav", dir / "whole.m4a", "-c:a alac -movflags +faststart");
    for (const char* name : {"whole.flac", "whole.mp3", "whole.m4a"}) {
        SCOPED_TRACE(name);
        const std::string bytes = readBytes(dir / name);
        auto cut = dir / (std::string("cut-") + name);
        writeBytes(cut, bytes.substr(0, bytes.size() * 3 / 10));
        auto r = AudioFileReader::open(cut);
        Planar all = readAll(*r);
        EXPECT_EQ(static_cast<int64_t>(all[0].size()), r->format().frames);
        EXPECT_GT(r->format().frames, frames / 10);
        EXPECT_LT(r->format().frames, frames / 2);
        // The last frame reads; one past it gives nothing.
        EXPECT_EQ(readRange(*r, r->format().frames - 1, 10)[0].size(), 1u);
        EXPECT_TRUE(readRange(*r, r->format().frames, 10)[0].empty());
    }
}

// Samples that are no number, or lie beyond any real level, read as
// silence and are counted; overshoot below +36 dBFS is kept.
TEST(AudioFileReader, NonFiniteAndAbsurdSamplesReadAsSilence) {
    TempDir dir;
    Planar signal = sineSignal(2, 4800, 48000, 1000, 0.5f);
    signal[0][100] = std::numeric_limits<float>::quiet_NaN();
    signal[1][100] = std::numeric_limits<float>::infinity();
    signal[1][200] = -std::numeric_limits<float>::infinity();
    signal[0][300] = 1.5f;
    signal[1][301] = -40.0f;
    signal[0][302] = 63.0f;
    // Fifty samples of 1e30 (both signs, both channels, one frame with two).
    for (int i = 0; i < 50; ++i) signal[size_t(i % 2)][size_t(1000 + 37 * i)] = i % 3 ? 1e30f : -1e30f;
    signal[1][1000] = 65.0f;
    for (const auto& [name, isFloat, bits] : {std::tuple{"nan.wav", true, 32}, std::tuple{"nan64.wav", true, 64}}) {
        SCOPED_TRACE(name);
        writeAudioFile(dir / name, signal, 48000, {.bits = bits, .isFloat = isFloat});
        auto r = AudioFileReader::open(dir / name);
        Planar all = readAll(*r);
        EXPECT_EQ(all[0][100], 0.0f);
        EXPECT_EQ(all[1][100], 0.0f);
        EXPECT_EQ(all[1][200], 0.0f);
        EXPECT_EQ(all[0][300], 1.5f);
        EXPECT_EQ(all[1][301], -40.0f);
        EXPECT_EQ(all[0][302], 63.0f);
        EXPECT_EQ(all[0][101], signal[0][101]);
        int loud = 0;
        for (const auto& ch : all)
            for (float v : ch) loud += std::fabs(v) > 64.0f;
        EXPECT_EQ(loud, 0);
        for (int i = 0; i < 50; ++i) EXPECT_EQ(all[size_t(i % 2)][size_t(1000 + 37 * i)], 0.0f) << i;
        EXPECT_EQ(all[1][1000], 0.0f);
        // Two frames of non-numbers, fifty of absurd levels (frame 1000 once).
        EXPECT_EQ(r->damagedFrames(), 2 + 50);
    }
}

// 16-bit samples are widened by the reader itself: every value, both byte
// orders, any channel count and any stretch read give exactly the floats of
// libsndfile's own float read.
TEST(AudioFileReader, SixteenBitSamplesReadAsLibsndfileReadsThem) {
    TempDir dir;
    std::mt19937 rng(3);
    for (const int format : {SF_FORMAT_WAV, SF_FORMAT_AIFF})
        for (const int nch : {1, 2, 3}) {
            const int64_t frames = 70001;  // past the reader's blocks, an odd count
            std::vector<short> samples(size_t(frames * nch));
            for (auto& v : samples) v = short(std::uniform_int_distribution<int>(-32768, 32767)(rng));
            samples[0] = -32768;
            samples[size_t(nch)] = 32767;
            const auto file = dir / ("pcm16-" + std::to_string(format) + "-" + std::to_string(nch) + ".bin");
            SF_INFO info{};
            info.samplerate = 44100;
            info.channels = nch;
            info.format = format | SF_FORMAT_PCM_16;
            SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
            ASSERT_TRUE(out);
            ASSERT_EQ(sf_writef_short(out, samples.data(), frames), frames);
            sf_close(out);

            SF_INFO back{};
            SNDFILE* in = sf_open(file.c_str(), SFM_READ, &back);
            ASSERT_TRUE(in);
            std::vector<float> floats(samples.size());
            ASSERT_EQ(sf_readf_float(in, floats.data(), frames), frames);
            sf_close(in);
            Planar want(size_t(nch), std::vector<float>(static_cast<size_t>(frames)));
            for (int64_t i = 0; i < frames; ++i)
                for (int c = 0; c < nch; ++c) want[size_t(c)][size_t(i)] = floats[size_t(i * nch + c)];

            auto r = AudioFileReader::open(file);
            SCOPED_TRACE(testing::Message() << (format == SF_FORMAT_WAV ? "WAV" : "AIFF") << ", " << nch << " channels");
            EXPECT_EQ(readAll(*r), want);
            EXPECT_EQ(readRange(*r, 0, frames), want);
            EXPECT_EQ(want[0][0], -1.0f);
            expectRandomReadsMatch(*r, want, 0);
        }
}

// A decoded frame far beyond any real level is damage: silenced and counted.
TEST(AudioFileReader, DecodedFramesFarBeyondFullScaleAreSilenced) {
    TempDir dir;
    Planar signal = sineSignal(1, 48000, 48000, 440, 0.5f);
    for (int i = 20000; i < 24000; ++i) signal[0][i] *= 2000.0f;
    writeAudioFile(dir / "loud.ogg", signal, 48000, {.kind = FileKind::ogg});
    // Both libraries' readers judge what their decoders give.
    for (bool viaFfmpeg : {false, true}) {
        SCOPED_TRACE(viaFfmpeg ? "FFmpeg" : "libsndfile");
        std::string why;
        auto r = viaFfmpeg ? ffmpeg::open(dir / "loud.ogg", &why) : AudioFileReader::open(dir / "loud.ogg");
        ASSERT_TRUE(r) << why;
        Planar all = readAll(*r);
        float peak = 0, quietPeak = 0;
        for (size_t i = 0; i < all[0].size(); ++i) {
            peak = std::max(peak, std::fabs(all[0][i]));
            if (i < 15000) quietPeak = std::max(quietPeak, std::fabs(all[0][i]));
        }
        EXPECT_LE(peak, 64.0f);  // +36 dBFS: the stretch at 1000 is gone
        EXPECT_GT(quietPeak, 0.4f);
        EXPECT_GE(r->damagedFrames(), 4000);
        EXPECT_LT(r->damagedFrames(), 12000);
    }
}

// One damaged AAC or ALAC packet is skipped as a player would: the file
// keeps its length, what follows keeps its place, and the frames that
// went missing are counted.
TEST(AudioFileReader, DamagedPacketsReadAsSilenceAndAreCounted) {
    TempDir dir;
    const int64_t frames = 48000 * 3;
    Planar signal = sineSignal(2, frames, 48000, 440, 0.5f);
    writeAudioFile(dir / "tone.wav", signal, 48000, {.bits = 16});
    for (const char* name : {"tone.m4a", "tone-alac.m4a"}) {
        SCOPED_TRACE(name);
        encodeWithFfmpeg(dir / "tone.wav", dir / name,
                         std::string(name) == "tone.m4a" ? "-c:a aac -b:a 128k" : "-c:a alac");
        auto good = AudioFileReader::open(dir / name);
        const Planar clean = readAll(*good);
        std::string bytes = readBytes(dir / name);
        const size_t mdat = find(bytes, "mdat");
        ASSERT_NE(mdat, std::string::npos);
        const size_t moov = find(bytes, "moov");
        const size_t end = moov > mdat ? moov : bytes.size();
        // Garbage over a stretch in the middle of the audio.
        const size_t at = mdat + (end - mdat) / 2;
        for (size_t i = at; i < at + 64; ++i) bytes[i] = static_cast<char>(0xFF ^ (i * 37));
        writeBytes(dir / "damaged.m4a", bytes);
        auto r = AudioFileReader::open(dir / "damaged.m4a");
        EXPECT_EQ(r->format().frames, good->format().frames);
        Planar all;
        ASSERT_NO_THROW(all = readAll(*r));
        ASSERT_EQ(all[0].size(), clean[0].size());
        EXPECT_GT(r->damagedFrames(), 0);
        EXPECT_LT(r->damagedFrames(), 48000);
        // The end of the file is where it was.
        for (int64_t i = frames - 4800; i < frames - 2400; ++i)
            ASSERT_NEAR(all[0][i], clean[0][i], 1e-3) << i;
    }
}

// FFmpeg reads what a WAVE header declares; a RIFF file libsndfile refused
// with a chunk that claims more than the file holds is not given to it.
// Files libsndfile cannot read but FFmpeg can still open.
TEST(AudioFileReader, RiffFilesForFfmpegAreCheckedFirst) {
    TempDir dir;
    // AC-3 in WAVE: libsndfile refuses it, FFmpeg decodes it.
    writeTestFile(dir / "pcm.wav", 2, 48000, 48000, {.bits = 16});
    encodeWithFfmpeg(dir / "pcm.wav", dir / "ac3.wav", "-c:a ac3");
    auto ac3 = AudioFileReader::open(dir / "ac3.wav");
    EXPECT_NEAR(static_cast<double>(ac3->format().frames), 48000, 1536);

    const std::string fmtAc3 = le16(0x2000) + le16(2) + le32(48000) + le32(24000) + le16(1536) + le16(0);
    const long before = peakMiB();
    for (const char* id : {"LIST", "bext", "ID3 ", "iXML", "junk"}) {
      for (bool afterData : {false, true}) {
        SCOPED_TRACE(std::string(id) + (afterData ? " after the audio" : ""));
        RiffBuilder riff;
        riff.chunk("fmt ", fmtAc3);
        if (afterData) riff.chunk("data", std::string(64, '\x0b'));
        riff.chunkWithSize(id, 0x7FFFFFF0u, "INFOISFT" + le32(0x7FFFFFE0u) + "x");
        if (!afterData) riff.chunk("data", std::string(64, '\x0b'));
        const std::string bytes = riff.bytes();
        ASSERT_LT(bytes.size(), 200u);
        auto file = dir / "lying.wav";
        writeBytes(file, bytes);
        std::string why;
        EXPECT_EQ(ffmpeg::open(file, &why), nullptr);
        EXPECT_NE(why.find("past the end"), std::string::npos) << why;
        expectRefused(file, kAudioFileUnreadable);
      }
    }
    EXPECT_LT(peakMiB() - before, 200);
}
