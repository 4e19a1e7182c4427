#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "audio/WavFileWriter.h"
#include "platform/AppError.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"

namespace qm {
struct WavFileWriterTestAccess {
    static void setDataBytes(WavFileWriter& w, uint64_t bytes) { w.dataBytes_ = bytes; }
};
}  // namespace qm

using qm::WavFileWriter;
using qm::test::readBytes;
using qm::test::TempDir;

namespace {

uint32_t u32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(b[at + size_t(i)]);
    return v;
}
uint16_t u16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8)); }
std::string hex(const std::string& b, size_t at, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", uint8_t(b[at + i]));
        s += buf;
    }
    return s;
}

// The code and text of the AppError `f` throws.
template <class F>
std::pair<int, std::string> errorOf(F&& f) {
    try {
        f();
    } catch (const qm::AppError& e) {
        return {e.code(), e.what()};
    }
    return {0, "no error"};
}

int32_t sample24(const std::string& b, size_t at) {
    int32_t v = int32_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8) | (uint8_t(b[at + 2]) << 16));
    return v >= (1 << 23) ? v - (1 << 24) : v;
}

}  // namespace

TEST(WavFileWriter, HeaderLayoutFieldByField) {
    TempDir dir;
    const auto path = dir / "deep/er/six.wav";  // missing folders are made
    const std::time_t before = std::time(nullptr);
    WavFileWriter w(path, 44099.6, 6, 0x3F, "Door slam, heavy");
    w.finish();
    const std::string b = readBytes(path);
    ASSERT_EQ(b.size(), 678u);
    EXPECT_EQ(b.substr(0, 4), "RIFF");
    EXPECT_EQ(u32(b, 4), 670u);
    EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(u32(b, 16), 40u);
    EXPECT_EQ(u16(b, 20), 0xFFFE);
    EXPECT_EQ(u16(b, 22), 6);
    EXPECT_EQ(u32(b, 24), 44100u);
    EXPECT_EQ(u32(b, 28), 6u * 44100 * 3);
    EXPECT_EQ(u16(b, 32), 18);
    EXPECT_EQ(u16(b, 34), 24);
    EXPECT_EQ(u16(b, 36), 22);
    EXPECT_EQ(u16(b, 38), 24);
    EXPECT_EQ(u32(b, 40), 0x3Fu);
    EXPECT_EQ(hex(b, 44, 16), "01 00 00 00 00 00 10 00 80 00 00 AA 00 38 9B 71");
    EXPECT_EQ(b.substr(60, 4), "bext");
    EXPECT_EQ(u32(b, 64), 602u);
    EXPECT_EQ(b.substr(68, 16), std::string("Door slam, heavy"));
    EXPECT_EQ(b.substr(84, 240), std::string(240, '\0'));
    EXPECT_EQ(b.substr(324, 32), std::string("Quillmarsh") + std::string(22, '\0'));
    EXPECT_EQ(b.substr(356, 32), std::string(32, '\0'));
    // Date and time of creation in local time.
    std::tm t{};
    localtime_r(&before, &t);
    char date[40];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    EXPECT_EQ(b.substr(388, 10), date);
    EXPECT_EQ(b[400], ':');
    EXPECT_EQ(b[403], ':');
    EXPECT_EQ(std::stoi(b.substr(398, 2)), t.tm_hour);
    EXPECT_EQ(b.substr(406, 8), std::string(8, '\0'));
    EXPECT_EQ(u16(b, 414), 1);
    EXPECT_EQ(b.substr(416, 254), std::string(254, '\0'));
    EXPECT_EQ(b.substr(670, 4), "data");
    EXPECT_EQ(u32(b, 674), 0u);
}

TEST(WavFileWriter, DescriptionIsCutToItsFieldAndAnAbandonedFileHasZeroSizes) {
    TempDir dir;
    const std::string longText(300, 'x');
    {
        WavFileWriter w(dir / "long.wav", 48000, 2, 3, longText);
        const std::vector<float> s(10, 0.1f);
        w.appendAll({s, s});
        // destroyed without finish()
    }
    const std::string b = readBytes(dir / "long.wav");
    EXPECT_EQ(b.substr(68, 256), std::string(256, 'x'));
    EXPECT_EQ(b.substr(324, 10), "Quillmarsh");
    EXPECT_EQ(u32(b, 4), 0u);
    EXPECT_EQ(u32(b, 674), 0u);
    EXPECT_EQ(b.size(), 678u + 60);

    WavFileWriter empty(dir / "empty.wav", 48000, 1, 0, "");
    empty.finish();
    EXPECT_EQ(readBytes(dir / "empty.wav").substr(68, 256), std::string(256, '\0'));
}

TEST(WavFileWriter, SampleBytesRoundingClampingAndPad) {
    TempDir dir;
    WavFileWriter w(dir / "s.wav", 48000, 2, 3, "");
    const float left[] = {0.5f, 1.5f, -2.0f, std::numeric_limits<float>::quiet_NaN()};
    const float right[] = {-1.0f, 1.0f, -0.0f, 1e-9f};
    const float* ch[] = {left, right};
    w.append(ch, 4);
    w.finish();
    const std::string b = readBytes(dir / "s.wav");
    ASSERT_EQ(b.size(), 678u + 24);
    EXPECT_EQ(hex(b, 678, 6), "00 00 40 01 00 80");  // 4 194 304 and -8 388 607
    EXPECT_EQ(hex(b, 684, 6), "FF FF 7F FF FF 7F");  // 1.5 and 1.0 store full scale
    EXPECT_EQ(hex(b, 690, 6), "01 00 80 00 00 00");  // -2.0 clamps to -8 388 607
    EXPECT_EQ(hex(b, 696, 6), "FF FF 7F 00 00 00");  // NaN stores full scale
    EXPECT_EQ(WavFileWriter::sampleValue(-0.5f), -4194304);  // halves away from zero

    // A mono file of three frames: nine data bytes and a pad byte.
    WavFileWriter mono(dir / "m.wav", 48000, 1, 4, "");
    const std::vector<float> three = {0.1f, 0.2f, 0.3f};
    mono.appendAll({three});
    mono.finish();
    const std::string m = readBytes(dir / "m.wav");
    EXPECT_EQ(m.size(), 688u);
    EXPECT_EQ(u32(m, 4), 680u);
    EXPECT_EQ(u32(m, 674), 9u);
    EXPECT_EQ(m[687], '\0');
}

// Fewer channels than the writer has, shorter arrays and null pointers are
// silence: the writer never reads past what it was given.
TEST(WavFileWriter, MissingChannelsAndShortArraysAreSilence) {
    TempDir dir;
    WavFileWriter w(dir / "four.wav", 48000, 4, 0x33, "");
    const std::vector<float> a = {0.25f, 0.25f, 0.25f}, shortOne = {0.5f};
    w.appendAll({a, shortOne});
    const float x[] = {-0.25f};
    const float* withNull[] = {x, nullptr};
    w.append(withNull, 1);
    w.append(std::span<const float* const>(), 1);
    w.append(withNull, 0);
    w.finish();
    const std::string b = readBytes(dir / "four.wav");
    ASSERT_EQ(b.size(), 678u + 5 * 12);
    const int32_t q = WavFileWriter::sampleValue(0.25f), h = WavFileWriter::sampleValue(0.5f);
    const int32_t expect[5][4] = {{q, h, 0, 0}, {q, 0, 0, 0}, {q, 0, 0, 0}, {-q, 0, 0, 0}, {0, 0, 0, 0}};
    for (int f = 0; f < 5; ++f)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(sample24(b, 678 + size_t(f * 12 + c * 3)), expect[f][c]) << f << " " << c;
}

TEST(WavFileWriter, ReadsBackThroughLibsndfileAndFfmpeg) {
    TempDir dir;
    const auto path = dir / "51.wav";
    const int frames = 70000;  // more than one appendAll block
    std::vector<std::vector<float>> signal(6, std::vector<float>(frames));
    for (int c = 0; c < 6; ++c)
        for (int k = 0; k < frames; ++k)
            signal[c][size_t(k)] = float(0.9 * std::sin(0.001 * k * (c + 1)));
    WavFileWriter w(path, 48000, 6, 0x3F, "Five one");
    w.appendAll(signal);
    w.finish();

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, frames);
    EXPECT_EQ(info.channels, 6);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format, SF_FORMAT_WAVEX | SF_FORMAT_PCM_24);
    std::vector<int> ints(size_t(frames) * 6);
    EXPECT_EQ(sf_readf_int(f, ints.data(), frames), frames);
    SF_CHUNK_INFO bext{};
    std::strcpy(bext.id, "bext");
    bext.id_size = 4;
    EXPECT_NE(sf_get_chunk_iterator(f, &bext), nullptr);
    sf_close(f);
    int mismatches = 0;
    for (int k = 0; k < frames; ++k)
        for (int c = 0; c < 6; ++c)
            if (ints[size_t(k) * 6 + size_t(c)] >> 8 != WavFileWriter::sampleValue(signal[c][size_t(k)])) ++mismatches;
    EXPECT_EQ(mismatches, 0);

    const auto raw = dir / "51.raw";
    qm::test::encodeWithFfmpeg(path, raw, "-f s32le -c:a pcm_s32le");
    const std::string r = readBytes(raw);
    ASSERT_EQ(r.size(), size_t(frames) * 6 * 4);
    mismatches = 0;
    for (size_t i = 0; i < size_t(frames) * 6; ++i) {
        int32_t v;
        std::memcpy(&v, r.data() + i * 4, 4);
        if (v >> 8 != WavFileWriter::sampleValue(signal[i % 6][i / 6])) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
}

// The limit is checked before a block is written, without writing 4 GB.
TEST(WavFileWriter, RefusesToPassTheFourGigabyteLimit) {
    TempDir dir;
    WavFileWriter w(dir / "big.wav", 48000, 2, 3, "");
    qm::WavFileWriterTestAccess::setDataBytes(w, WavFileWriter::kMaxDataBytes - 12);
    const std::vector<float> s(3, 0.5f);
    const float* ch[] = {s.data(), s.data()};
    EXPECT_EQ(errorOf([&] { w.append(ch, 3); }),
              std::pair(20, std::string("Selection too long for a WAV file (4 GB limit)")));
    EXPECT_EQ(errorOf([&] { w.appendAll({s, s}); }),
              std::pair(20, std::string("Too long for a WAV file (4 GB limit)")));
    EXPECT_EQ(w.dataBytes(), WavFileWriter::kMaxDataBytes - 12);
    EXPECT_EQ(std::filesystem::file_size(dir / "big.wav"), 678u);
    // Exactly up to the limit is still allowed.
    w.append(ch, 2);
    EXPECT_EQ(w.dataBytes(), WavFileWriter::kMaxDataBytes);
    w.finish();
    const std::string b = readBytes(dir / "big.wav");
    // The limit is odd: a pad byte follows, and the RIFF size still fits.
    EXPECT_EQ(u32(b, 674), uint32_t(WavFileWriter::kMaxDataBytes));
    EXPECT_EQ(u32(b, 4), uint32_t(WavFileWriter::kMaxDataBytes + 678 + 1 - 8));
}

TEST(WavFileWriter, FailuresToCreateAreReported) {
    TempDir dir;
    qm::test::writeBytes(dir / "file", "x");
    const auto [code, text] = errorOf([&] { WavFileWriter w(dir / "file/sub/a.wav", 48000, 2, 3, ""); });
    EXPECT_EQ(code, WavFileWriter::kWriteFailed);
    EXPECT_NE(text.find("\"a.wav\""), std::string::npos) << text;
}

TEST(WavFileWriter, AHeaderThatCannotBeWrittenReleasesTheFile) {
    // Writes to /dev/full fail with "no space left", as on a full disk.
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    const auto before = openDescriptors();
    const auto [code, text] = errorOf([] { WavFileWriter w("/dev/full", 48000, 2, 3, ""); });
    EXPECT_EQ(code, WavFileWriter::kWriteFailed) << text;
    EXPECT_EQ(openDescriptors(), before);
}
