#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/AudioFileInfo.h"
#include "playback/Exporter.h"
#include "spatial/MixBuilder.h"
#include "audio/OutputProfile.h"
#include "playback/RenderContext.h"
#include "spatial/Upmixer.h"
#include "audio/WavFileWriter.h"
#include "platform/AppError.h"
#include "platform/AudioFileReader.h"
#include "platform/BinauralRenderer.h"
#include "rt/mn_ring.h"
#include "rt/mn_upmix.h"
#include "support/AudioFiles.h"
#include "support/Failures.h"
#include "support/Signals.h"
#include "support/TempDir.h"

using namespace qm;
using qm::test::Planar;
using qm::test::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr double kRate = 48000;

// Independent noise per channel at a level that no fold-down drives past full scale.
Planar noiseSignal(int channels, int64_t frames, float amp = 0.12f) {
    Planar p;
    for (int c = 0; c < channels; ++c) p.push_back(test::noise(amp, size_t(frames), uint64_t(c) * 7919 + 1));
    return p;
}

AudioFileInfo writeSource(const fs::path& path, const Planar& samples, double rate = kRate) {
    test::writeAudioFile(path, samples, rate, {.kind = test::FileKind::wav, .bits = 24});
    return AudioFileInfo::load(path);
}

// What the source file holds, read back the way the exporter reads it.
Planar sourceSamples(const fs::path& path) { return test::readWav(path).channels; }

Exporter::Request request(const AudioFileInfo& info, SourceFormat source, DragExport mode, const fs::path& folder) {
    Exporter::Request r;
    r.info = info;
    r.source = std::move(source);
    r.mode = mode;
    r.folder = folder;
    r.upmixName = "Music";
    return r;
}

uint32_t maskOf(const fs::path& wav) {
    const std::string b = test::readBytes(wav);
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(b[size_t(40 + i)]);
    return v;
}

// The code of the AppError the export throws, 0 when it succeeds; its text in `text`.
int errorOf(const Exporter::Request& r, const Exporter::Progress& progress = {}, std::string* text = nullptr) {
    return test::appErrorCode([&] { Exporter::exportPull(r, progress); }, text);
}

// The largest difference between two planar signals of the same shape.
double worstDifference(const Planar& a, const Planar& b) {
    EXPECT_EQ(a.size(), b.size());
    double worst = 0;
    for (size_t c = 0; c < std::min(a.size(), b.size()); ++c) {
        EXPECT_EQ(a[c].size(), b[c].size()) << "channel " << c;
        for (size_t i = 0; i < std::min(a[c].size(), b[c].size()); ++i)
            worst = std::max(worst, std::abs(double(a[c][i]) - double(b[c][i])));
    }
    return worst;
}

// A matrix applied in double precision, clamped as 24-bit PCM is.
Planar applyMatrix(const Matrix& m, const Planar& in, int64_t start, int64_t frames) {
    Planar out(m.size(), std::vector<float>(size_t(frames)));
    for (size_t r = 0; r < m.size(); ++r)
        for (int64_t t = 0; t < frames; ++t) {
            double s = 0;
            for (size_t c = 0; c < std::min(m[r].size(), in.size()); ++c) s += m[r][c] * in[c][size_t(start + t)];
            out[r][size_t(t)] = float(std::clamp(s, -1.0, 1.0));
        }
    return out;
}

// Rows of a matrix (one per speaker of `speakers`) in the order a WAV file stores them.
template <class Rows>
Rows inWaveOrder(const Rows& m, const std::vector<SpeakerID>& speakers) {
    const auto wave = WaveMask::mask(speakers);
    if (!wave) return m;
    Rows out;
    for (SpeakerID s : wave->order)
        out.push_back(m[size_t(std::find(speakers.begin(), speakers.end(), s) - speakers.begin())]);
    return out;
}

// Files in a folder tree, hidden ones included.
std::vector<fs::path> filesUnder(const fs::path& folder) {
    std::vector<fs::path> files;
    if (!fs::exists(folder)) return files;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) files.push_back(e.path());
    return files;
}

struct NamedSource {
    std::string name;
    SourceFormat format;
    int channels;
};

std::vector<NamedSource> everySourceFormat() {
    std::vector<NamedSource> all;
    for (LayoutID id : layout::allCases()) {
        const auto& s = layout::speakers(id);
        all.push_back({std::string(layout::rawValue(id)), SourceFormat::speakers(s), int(s.size())});
    }
    all.push_back({"mono", SourceFormat::speakers({SpeakerID::C}), 1});
    for (int order = 1; order <= 3; ++order)
        all.push_back({"ambi" + std::to_string(order), SourceFormat::ambisonic(order, AmbiNorm::sn3d),
                       (order + 1) * (order + 1)});
    all.push_back({"discrete3", SourceFormat::discrete(3), 3});
    return all;
}

}  // namespace

TEST(DragExport, IdsAndNames) {
    const std::pair<DragExport, const char*> cases[] = {
        {DragExport::bed(LayoutID::stereo), "bed-stereo Stereo fold-down"},
        {DragExport::bed(LayoutID::l712), "bed-l712 7.1.2 bed"},
        {DragExport::upmix(LayoutID::stereo), "upmix-stereo Stereo upmix"},
        {DragExport::binaural(), "binaural Binaural"},
    };
    for (const auto& [mode, text] : cases) EXPECT_EQ(mode.id() + " " + mode.name(), text);
}

TEST(Exporter, NamesFoldersAndDescriptions) {
    TempDir dir;
    const double rate = 8000;
    fs::create_directories(dir / "src");
    const auto theme = writeSource(dir / "src/Theme.wav", noiseSignal(2, 80000), rate);
    const auto take = writeSource(dir / "src/Take:1.wav", noiseSignal(2, 8000), rate);
    const SourceFormat stereo = SourceFormat::speakers({SpeakerID::L, SpeakerID::R});
    const fs::path pulls = dir / "pulls";
    const fs::path today = pulls / Exporter::day();

    struct Case {
        AudioFileInfo info;
        DragExport mode;
        std::optional<Exporter::Range> range;
        ListenMode listen;
        std::string upmixName;
        std::string file;
        std::string description;
    };
    const Case cases[] = {
        {theme, DragExport::bed(LayoutID::l51), std::nullopt, ListenMode::normal, "Music", "Theme_51.wav",
         "Pulled from Theme.wav [0.000-10.000 s] 5.1 (WAVE order)"},
        {theme, DragExport::upmix(LayoutID::l714), Exporter::Range{24000, 74000}, ListenMode::normal, "Film",
         "Theme_3.000-9.250s_714up-film.wav",
         "Pulled from Theme.wav [3.000-9.250 s] 7.1.4 upmix, Film (WAVE order)"},
        {theme, DragExport::binaural(), std::nullopt, ListenMode::normal, "Music", "Theme_bin.wav",
         "Pulled from Theme.wav [0.000-10.000 s] Binaural (HRTF)"},
        {theme, DragExport::original(), Exporter::Range{1, 8001}, ListenMode::normal, "Music",
         "Theme_0.000-1.000s.wav", "Pulled from Theme.wav [0.000-1.000 s] Stereo"},
        {theme, DragExport::original(), std::nullopt, ListenMode::midSide, "Music", "Theme_midSide.wav",
         "Pulled from Theme.wav [0.000-10.000 s] Stereo (M/S decode)"},
        {take, DragExport::upmix(LayoutID::l71), std::nullopt, ListenMode::normal, "A/B:C", "Take-1_71up-a-b-c.wav",
         "Pulled from Take:1.wav [0.000-1.000 s] 7.1 upmix, A/B:C (WAVE order)"},
        {theme, DragExport::bed(LayoutID::l712), Exporter::Range{0, 800}, ListenMode::normal, "Music",
         "Theme_0.000-0.100s_712.wav",
         "Pulled from Theme.wav [0.000-0.100 s] 7.1.2 (SMPTE order: L R C LFE Lss Rss Lrs Rrs Ltm Rtm)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto r = request(c.info, stereo, c.mode, pulls);
        r.range = c.range;
        r.listen = c.listen;
        r.upmixName = c.upmixName;
        const fs::path out = Exporter::exportPull(r);
        EXPECT_EQ(out, today / c.file);
        EXPECT_EQ(RIFFReader::bextDescription(out).value_or("<none>"), c.description);
    }
    // Layouts without a WAVE position for every speaker keep layout order under mask 0.
    EXPECT_EQ(maskOf(today / "Theme_0.000-0.100s_712.wav"), 0u);

    // A whole-file pull in the source's own channels is the source itself.
    auto whole = request(theme, stereo, DragExport::original(), dir / "elsewhere");
    EXPECT_EQ(Exporter::exportPull(whole), theme.url);
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
    EXPECT_EQ(filesUnder(pulls).size(), std::size(cases));  // no temporary file stays behind
}

TEST(Exporter, APullOfAnExistingNameGetsANumberAndNothingIsReplaced) {
    TempDir dir;
    const auto info = writeSource(dir / "Door.wav", noiseSignal(1, 4800));
    auto r = request(info, SourceFormat::speakers({SpeakerID::C}), DragExport::bed(LayoutID::l51), dir / "pulls");
    const fs::path first = Exporter::exportPull(r);
    const std::string firstBytes = test::readBytes(first);
    r.mode = DragExport::bed(LayoutID::l51);
    r.monoToCenter = true;  // different content under the same name
    const fs::path second = Exporter::exportPull(r);
    const fs::path third = Exporter::exportPull(r);
    EXPECT_EQ(first.filename(), "Door_51.wav");
    EXPECT_EQ(second.filename(), "Door_51 2.wav");
    EXPECT_EQ(third.filename(), "Door_51 3.wav");
    EXPECT_EQ(test::readBytes(first), firstBytes);
}

// Sources with names near the 255-byte limit are pulled: the source's part
// of the pull's name gives way (never splitting a character), the part that
// says what the pull is stays, and a taken name still gets its number.
TEST(Exporter, SourcesWithLongNamesArePulled) {
    TempDir dir;
    for (size_t length : {215u, 240u, 251u}) {
        SCOPED_TRACE(length);
        // A letter of its own per length: shortened stems must not meet.
        const std::string stem = std::string(length - 3, char('a' + length % 26)) + "\u266B";
        const auto info = writeSource(dir / (stem + ".wav"), noiseSignal(2, 4800));
        auto r = request(info, SourceFormat::speakers({SpeakerID::L, SpeakerID::R}),
                         DragExport::upmix(LayoutID::l714), dir / "pulls");
        r.range = Exporter::Range{0, 2400};
        fs::path first, second;
        ASSERT_NO_THROW(first = Exporter::exportPull(r));
        ASSERT_NO_THROW(second = Exporter::exportPull(r));
        const std::string name = first.filename().string(), suffix = "_0.000-0.050s_714up-music.wav";
        EXPECT_TRUE(name.ends_with(suffix)) << name;
        EXPECT_LE(name.size(), 255u);
        const std::string kept = name.substr(0, name.size() - suffix.size());
        EXPECT_TRUE(stem.starts_with(kept)) << kept;
        EXPECT_GE(kept.size(), std::min<size_t>(length, 255 - suffix.size() - 5 - 2));
        EXPECT_EQ(second.filename().string(), kept + suffix.substr(0, suffix.size() - 4) + " 2.wav");
        EXPECT_EQ(test::readWav(first).channels[0].size(), 2400u);
    }
    EXPECT_EQ(filesUnder(dir / "pulls").size(), 6u);  // no temporary file stays behind
}

// Every source format, in its own channels and as a bed of every layout, is
// the mix builder's matrix applied to the source, rows in WAVE order.
TEST(Exporter, OwnChannelsAndBedsAreTheLayoutMatrixAppliedToTheSource) {
    TempDir dir;
    const int64_t frames = 20000;  // more than one 16384-frame block
    const Exporter::Range range{1234, 1234 + 18000};
    for (const auto& src : everySourceFormat()) {
        SCOPED_TRACE(src.name);
        const auto info = writeSource(dir / (src.name + ".wav"), noiseSignal(src.channels, frames));
        const Planar in = sourceSamples(info.url);
        const Rotation rotation{30, 10, 0};

        // Own channels: a speaker list in WAVE order with its mask, anything else as it is.
        auto r = request(info, src.format, DragExport::original(), dir / "pulls");
        r.range = range;
        const fs::path own = Exporter::exportPull(r);
        Matrix identity(size_t(src.channels), std::vector<double>(size_t(src.channels), 0.0));
        for (size_t i = 0; i < identity.size(); ++i) identity[i][i] = 1;
        const auto* list = src.format.speakerList();
        const auto wave = list ? WaveMask::mask(*list) : std::nullopt;
        EXPECT_EQ(maskOf(own), wave ? wave->mask : 0u);
        EXPECT_LT(worstDifference(test::readWav(own).channels,
                                  applyMatrix(list ? inWaveOrder(identity, *list) : identity, in, range.start,
                                              range.length())),
                  2e-7);
        if (src.name == "stereo") {  // folded by a listen mode, its beds too
            r.listen = ListenMode::midSide;
            EXPECT_LT(worstDifference(test::readWav(Exporter::exportPull(r)).channels,
                                      applyMatrix(listenMode::matrix(r.listen), in, range.start, range.length())),
                      5e-7);
        }

        for (LayoutID target : layout::allCases()) {
            SCOPED_TRACE(layout::rawValue(target));
            r.mode = DragExport::bed(target);
            r.rotation = rotation;
            r.monoToCenter = true;
            const fs::path bed = Exporter::exportPull(r);
            const auto& speakers = layout::speakers(target);
            const Matrix m = MixBuilder::layoutMatrix(src.format, src.channels, speakers, r.listen, rotation, true);
            const auto targetWave = WaveMask::mask(speakers);
            EXPECT_EQ(maskOf(bed), targetWave ? targetWave->mask : 0u);
            EXPECT_LT(worstDifference(test::readWav(bed).channels,
                                      applyMatrix(inWaveOrder(m, speakers), in, range.start, range.length())),
                      5e-7);
        }
    }
}

// The upmix kernel run over the source in one pass, its latency skipped. A
// looped pull runs the range's last frames (the latency and 0.1 s) ahead of
// it and its first frames after it; otherwise silence follows.
Planar upmixDirectly(const Planar& in, const std::vector<SpeakerID>& source, const std::vector<SpeakerID>& target,
                     const UpmixParams& params, const Exporter::Range& range, bool loop) {
    ManualMainQueue retired;
    auto upmixer = Upmixer::create(int(source.size()), int(target.size()), kRate, retired);
    upmixer->apply(UpmixRequest{source, target, params});
    const int64_t latency = mn_upmix_latency(upmixer->raw());
    const int64_t n = range.length();
    const int64_t before = loop ? std::min(latency + int64_t(kRate * 0.1), n) : 0;
    // The signal the kernel sees: the range's last `before` frames, the range,
    // then its first frames again (a loop) or silence.
    Planar feed(in.size());
    for (size_t c = 0; c < in.size(); ++c) {
        for (int64_t t = range.end - before; t < range.end; ++t) feed[c].push_back(in[c][size_t(t)]);
        for (int64_t t = range.start; t < range.end; ++t) feed[c].push_back(in[c][size_t(t)]);
        for (int64_t t = 0; t < latency; ++t)
            feed[c].push_back(loop && t < n ? in[c][size_t(range.start + t)] : 0.0f);
    }
    const int64_t total = int64_t(feed[0].size());
    Planar out(target.size(), std::vector<float>(size_t(total)));
    std::vector<const float*> ip;
    std::vector<float*> op;
    for (auto& c : feed) ip.push_back(c.data());
    for (auto& c : out) op.push_back(c.data());
    mn_upmix_process(upmixer->raw(), ip.data(), int32_t(total), op.data());
    Planar result;
    for (auto& c : out)
        result.emplace_back(c.begin() + before + latency, c.begin() + before + latency + n);
    return result;
}

TEST(Exporter, UpmixesAreTheKernelAppliedToTheRangeWithTheExactLength) {
    TempDir dir;
    const int64_t frames = 40000;
    const Exporter::Range range{3000, 3000 + 20000};
    UpmixParams params;
    params.strength = 0.8;
    int exported = 0;
    for (LayoutID from : layout::allCases()) {
        const auto& source = layout::speakers(from);
        const auto info =
            writeSource(dir / (std::string(layout::rawValue(from)) + ".wav"), noiseSignal(int(source.size()), frames));
        const Planar in = sourceSamples(info.url);
        for (LayoutID to : layout::allCases()) {
            const auto& target = layout::speakers(to);
            if (!UpmixPlanner::applies(source, target)) continue;
            for (bool loop : {false, true}) {
                SCOPED_TRACE(std::string(layout::rawValue(from)) + " to " + std::string(layout::rawValue(to)) +
                             (loop ? " looped" : ""));
                auto r = request(info, SourceFormat::speakers(source), DragExport::upmix(to), dir / "pulls");
                r.range = range;
                r.upmix = params;
                r.loop = loop;
                const fs::path out = Exporter::exportPull(r);
                const Planar got = test::readWav(out).channels;
                ASSERT_EQ(got.size(), target.size());
                EXPECT_EQ(int64_t(got[0].size()), range.length());
                const Planar want = upmixDirectly(in, source, target, params, range, loop);
                EXPECT_LT(worstDifference(got, inWaveOrder(want, target)), 2e-7);
                ++exported;
            }
        }
    }
    EXPECT_GE(exported, 30);
}

TEST(Exporter, SourcesThatDoNotFitAFormFailWithTheirCodesAndWriteNothing) {
    TempDir dir;
    const auto six = writeSource(dir / "six.wav", noiseSignal(6, 2000));
    const auto four = writeSource(dir / "four.wav", noiseSignal(4, 2000));
    const auto l51 = SourceFormat::speakers(layout::speakers(LayoutID::l51));
    struct Case {
        const char* what;
        AudioFileInfo info;
        SourceFormat format;
        DragExport mode;
        int code;
    };
    const Case cases[] = {
        {"binaural of discrete channels", six, SourceFormat::discrete(6), DragExport::binaural(), 30},
        {"upmix onto the same layout", six, l51, DragExport::upmix(LayoutID::l51), 31},
        {"upmix of discrete channels", six, SourceFormat::discrete(6), DragExport::upmix(LayoutID::l714), 31},
        {"upmix of Ambisonics", four, SourceFormat::ambisonic(1, AmbiNorm::sn3d), DragExport::upmix(LayoutID::l714),
         31},
        {"upmix with a speaker list that is not the file's", four, l51, DragExport::upmix(LayoutID::l714), 31},
        {"upmix of a centre-only source", four,
         SourceFormat::speakers({SpeakerID::C, SpeakerID::LFE, SpeakerID::Ls, SpeakerID::Rs}),
         DragExport::upmix(LayoutID::l714), 31},
    };
    for (const auto& c : cases) {
        std::string text;
        EXPECT_EQ(errorOf(request(c.info, c.format, c.mode, dir / "pulls"), {}, &text), c.code) << c.what;
        EXPECT_EQ(text, c.code == 30 ? "Binaural needs a multichannel or Ambisonics source"
                                     : "Upmix needs a stereo or speaker-layout source smaller than the target");
    }
    EXPECT_TRUE(filesUnder(dir / "pulls").empty());
}

// The binaural renderer's own responses convolved with the virtual-speaker
// feeds, `latency` frames late: what headphone playback of the source gives.
void expectBinauralOf(const NamedSource& src, const Rotation& rotation) {
    SCOPED_TRACE(src.name);
    TempDir dir;
    const int64_t frames = 3000;
    // Quiet enough that sixteen speakers summed at the ears stay below full scale.
    const auto info = writeSource(dir / "in.wav", noiseSignal(src.channels, frames, 0.05f));
    const Planar in = sourceSamples(info.url);
    auto r = request(info, src.format, DragExport::binaural(), dir / "pulls");
    r.rotation = rotation;
    r.range = Exporter::Range{500, 2900};
    const fs::path out = Exporter::exportPull(r);
    const Planar got = test::readWav(out).channels;
    const int64_t n = r.range->length(), total = n + int64_t(std::floor(kRate * 0.25));
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(int64_t(got[0].size()), total);
    EXPECT_EQ(maskOf(out), 3u);

    const auto bin = MixBuilder::binauralMatrix(src.format, src.channels, rotation);
    const Planar feeds = applyMatrix(bin.matrix, in, r.range->start, n);
    const BinauralRenderer renderer(kRate);
    Planar want(2, std::vector<float>(size_t(total), 0.0f));
    const int64_t latency = renderer.latencyFrames();
    for (size_t k = 0; k < bin.dirs.size(); ++k) {
        std::vector<float> irL, irR;
        renderer.impulseResponse(bin.dirs[k].az, bin.dirs[k].el, irL, irR);
        for (int64_t t = 0; t < n; ++t) {
            const float x = feeds[k][size_t(t)];
            if (x == 0.0f) continue;
            for (size_t j = 0; j < irL.size() && t + latency + int64_t(j) < total; ++j) {
                want[0][size_t(t + latency) + j] += x * irL[j];
                want[1][size_t(t + latency) + j] += x * irR[j];
            }
        }
    }
    EXPECT_LT(worstDifference(got, want), 2e-5);
}

TEST(Exporter, BinauralPullsAreTheRenderersResponsesOnTheVirtualSpeakersWithAQuarterSecondTail) {
    for (const auto& src : everySourceFormat())
        if (!src.format.asDiscrete()) expectBinauralOf(src, Rotation{90, 20, 0});
}

// Headphone playback of the same source and configuration through the render
// path gives the same samples as the pull once the first callback (which
// fades the stream in and moves the virtual speakers into place) has passed
// through the responses.
TEST(Exporter, ABinauralPullHoldsWhatHeadphonePlaybackOfTheSourcePlays) {
    TempDir dir;
    const auto format = SourceFormat::speakers(layout::speakers(LayoutID::l514));
    const int ch = 10;
    const int64_t frames = 30000;
    const auto info = writeSource(dir / "in.wav", noiseSignal(ch, frames));
    auto r = request(info, format, DragExport::binaural(), dir / "pulls");
    const Planar pull = test::readWav(Exporter::exportPull(r)).channels;
    const int64_t total = int64_t(pull[0].size());

    OutputProfile headphones;
    headphones.kind = OutputProfile::Kind::headphones;
    const MixConfig config =
        MixBuilder::config(format, ch, headphones, 2, ListenMode::normal, Rotation{}, false, std::nullopt);
    ASSERT_TRUE(config.toBinaural);
    const auto record = makeRealtimeMix(config, nullptr);
    BinauralRenderer renderer(kRate);
    for (size_t i = 0; i < config.virtualDirections.size(); ++i)
        renderer.setDirection(int(i), config.virtualDirections[i].az, config.virtualDirections[i].el);

    Planar in = sourceSamples(info.url);
    mn_ring* ring = mn_ring_create(ch, int32_t(frames));
    std::vector<const float*> src;
    for (auto& c : in) src.push_back(c.data());
    std::vector<double> stamps(static_cast<size_t>(frames), 0.0);
    ASSERT_EQ(mn_ring_write(ring, src.data(), stamps.data(), int32_t(frames)), frames);
    mn_ring_set_eof(ring);
    RenderContext ctx;
    ctx.setBinauralRenderer(&renderer);
    mn_slot_store(ctx.ringSlot, ring);
    mn_slot_store(ctx.cfgSlot, &record->record);
    Planar played(2, std::vector<float>(size_t(total)));
    const int64_t callback = 512;
    for (int64_t t = 0; t < total; t += callback) {
        const int64_t k = std::min(callback, total - t);
        float* out[2] = {played[0].data() + t, played[1].data() + t};
        ctx.render(uint32_t(k), out, 2);
    }
    mn_ring_destroy(ring);

    const auto settled = size_t(callback + renderer.filterLength() + renderer.latencyFrames());
    for (auto& c : played) c.erase(c.begin(), c.begin() + std::ptrdiff_t(settled));
    Planar tail = pull;
    for (auto& c : tail) c.erase(c.begin(), c.begin() + std::ptrdiff_t(settled));
    EXPECT_LT(worstDifference(tail, played), 2e-7);
}

TEST(Exporter, APullsFolderThatCannotBeMadeFailsCleanly) {
    TempDir dir;
    const auto info = writeSource(dir / "in.wav", noiseSignal(2, 2000));
    test::writeBytes(dir / "file", "not a folder");
    auto r = request(info, SourceFormat::speakers({SpeakerID::L, SpeakerID::R}), DragExport::bed(LayoutID::l51),
                     dir / "file/pulls");
    std::string text;
    EXPECT_EQ(errorOf(r, {}, &text), WavFileWriter::kWriteFailed);
    EXPECT_NE(text.find("file/pulls"), std::string::npos) << text;
    EXPECT_EQ(test::readBytes(dir / "file"), "not a folder");
}

// Writing stops with an error when the file may grow no further: the
// temporary file is removed, nothing takes the pull's name, the source is as it was.
TEST(Exporter, ADiskThatFillsLeavesNoFileBehind) {
    TempDir dir;
    const auto info = writeSource(dir / "in.wav", noiseSignal(2, 48000));
    const std::string sourceBytes = test::readBytes(info.url);
    auto r = request(info, SourceFormat::speakers({SpeakerID::L, SpeakerID::R}), DragExport::bed(LayoutID::l714),
                     dir / "pulls");
    fs::create_directories(dir / "pulls" / Exporter::day());

    // Full inside the header, and inside the samples (the pull needs 1.7 MB).
    for (rlim_t limit : {rlim_t(100), rlim_t(100000)}) {
        std::string text;
        const int code = [&] {
            test::FileSizeLimit full(limit);
            return errorOf(r, {}, &text);
        }();

        EXPECT_EQ(code, WavFileWriter::kWriteFailed) << limit;
        EXPECT_NE(text.find("\"in_714.wav\""), std::string::npos) << text;
        EXPECT_TRUE(filesUnder(dir / "pulls").empty()) << limit;
    }
    EXPECT_EQ(test::readBytes(info.url), sourceBytes);
}

// The source is deleted, rewritten or the export cancelled after the first
// block: an error, and no pull.
TEST(Exporter, ASourceThatGoesOrChangesWhileReadAndACancelLeaveNoFile) {
    struct Case {
        const char* what;
        DragExport mode;
        int action;  // 0 delete, 1 rewrite shorter, 2 cancel
        int code;
    };
    const Case cases[] = {
        {"deleted during a bed", DragExport::bed(LayoutID::l51), 0, kAudioFileNotFound},
        {"deleted during an upmix", DragExport::upmix(LayoutID::l714), 0, kAudioFileNotFound},
        {"deleted during a binaural pull", DragExport::binaural(), 0, kAudioFileNotFound},
        {"rewritten during a bed", DragExport::bed(LayoutID::l51), 1, kAudioFileReadFailed},
        {"rewritten during a binaural pull", DragExport::binaural(), 1, kAudioFileReadFailed},
        {"cancelled", DragExport::upmix(LayoutID::l51), 2, Exporter::kCancelled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto info = writeSource(dir / "in.wav", noiseSignal(2, 60000));
        auto r = request(info, SourceFormat::speakers({SpeakerID::L, SpeakerID::R}), c.mode, dir / "pulls");
        int calls = 0;
        const Exporter::Progress progress = [&](int64_t done, int64_t total) {
            EXPECT_LE(done, total);
            if (++calls > 1) return true;
            if (c.action == 0) fs::remove(info.url);
            if (c.action == 1) test::writeAudioFile(info.url, noiseSignal(2, 100), kRate);
            return c.action != 2;
        };
        EXPECT_EQ(errorOf(r, progress), c.code);
        EXPECT_TRUE(filesUnder(dir / "pulls").empty());
    }
}

TEST(Exporter, EmptyRangesAndMissingSourcesAreErrors) {
    TempDir dir;
    const auto info = writeSource(dir / "in.wav", noiseSignal(2, 1000));
    auto r = request(info, SourceFormat::speakers({SpeakerID::L, SpeakerID::R}), DragExport::binaural(), dir / "p");
    for (Exporter::Range range : {Exporter::Range{500, 500}, Exporter::Range{600, 500}, Exporter::Range{1000, 2000},
                                  Exporter::Range{-10, 20}}) {
        r.range = range;
        EXPECT_EQ(errorOf(r), Exporter::kEmptyRange) << range.start << "-" << range.end;
    }
    r.range.reset();
    fs::remove(info.url);
    for (DragExport mode : {DragExport::original(), DragExport::bed(LayoutID::l51), DragExport::binaural()}) {
        r.mode = mode;
        EXPECT_EQ(errorOf(r), kAudioFileNotFound) << mode.id();
    }
    EXPECT_TRUE(filesUnder(dir / "p").empty());
}

TEST(Exporter, TheDayFolderFollowsTheLocalDate) {
    std::time_t now = std::time(nullptr);
    std::tm midnight{};
    localtime_r(&now, &midnight);
    midnight.tm_mday += 1;
    midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
    midnight.tm_isdst = -1;
    const auto at = std::chrono::system_clock::from_time_t(std::mktime(&midnight));
    std::tm tomorrow{};
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    localtime_r(&t, &tomorrow);
    char want[16];
    std::strftime(want, sizeof want, "%Y-%m-%d", &tomorrow);
    EXPECT_EQ(Exporter::day(at), want);
    EXPECT_NE(Exporter::day(at - std::chrono::seconds(1)), Exporter::day(at));
    EXPECT_EQ(Exporter::day(at - std::chrono::seconds(1)), Exporter::day(std::chrono::system_clock::from_time_t(now)));
}

// A cut file is as long as what it holds: every pull form ends at its real
// end (the binaural one with its tail), none pads silence to the header's
// claim. A source cut while it is read ends every form with an error.
TEST(Exporter, CutSourcesArePulledToTheirRealEndInEveryForm) {
    TempDir dir;
    const auto& l51 = layout::speakers(LayoutID::l51);
    const fs::path whole = dir / "whole.flac";
    test::writeAudioFile(whole, noiseSignal(6, 96000), kRate, {.kind = test::FileKind::flac, .bits = 16});
    const std::string bytes = test::readBytes(whole);
    const fs::path cut = dir / "cut.flac";
    test::writeBytes(cut, bytes.substr(0, bytes.size() / 4));
    const AudioFileInfo info = AudioFileInfo::load(cut);
    ASSERT_GT(info.frames, 10000);
    ASSERT_LT(info.frames, 48000);
    const int64_t tail = int64_t(std::floor(kRate * 0.25));
    const std::pair<DragExport, int64_t> forms[] = {{DragExport::bed(LayoutID::stereo), info.frames},
                                                    {DragExport::upmix(LayoutID::l714), info.frames},
                                                    {DragExport::binaural(), info.frames + tail}};
    for (const auto& [mode, length] : forms) {
        SCOPED_TRACE(mode.id());
        auto r = request(info, SourceFormat::speakers(l51), mode, dir / "pulls");
        EXPECT_EQ(int64_t(test::readWav(Exporter::exportPull(r)).channels[0].size()), length);
    }
    auto mono = request(info, SourceFormat::speakers(l51), DragExport::original(), dir / "pulls");
    mono.range = Exporter::Range{100, info.frames};
    EXPECT_EQ(int64_t(test::readWav(Exporter::exportPull(mono)).channels[0].size()), info.frames - 100);

    for (const auto& [mode, length] : forms) {
        SCOPED_TRACE(mode.id());
        TempDir again;
        const auto wav = writeSource(again / "in.wav", noiseSignal(6, 120000));
        auto r = request(wav, SourceFormat::speakers(l51), mode, again / "pulls");
        int calls = 0;
        const Exporter::Progress progress = [&](int64_t, int64_t) {
            if (++calls == 1) fs::resize_file(wav.url, fs::file_size(wav.url) / 3);
            return true;
        };
        std::string text;
        EXPECT_EQ(errorOf(r, progress, &text), kAudioFileReadFailed);
        EXPECT_NE(text.find("ended early"), std::string::npos) << text;
        EXPECT_TRUE(filesUnder(again / "pulls").empty());
    }
}
