#include "monitor/MonitorMatrix.h"

#include "spatial/UpmixPlanner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace qm;
using S = SpeakerID;

namespace {

const std::vector<S>& speakersOf(LayoutID l) { return layout::speakers(l); }

Matrix layoutOnto(const std::vector<S>& from, const std::vector<S>& to) {
    return MixBuilder::layoutMatrix(SourceFormat::speakers(from), static_cast<int>(from.size()), to,
                                    ListenMode::normal, Rotation{}, true);
}

// The product written out, independent of the code under test.
Matrix product(const Matrix& t, const Matrix& f) {
    Matrix out(t.size(), std::vector<double>(f.front().size(), 0.0));
    for (size_t i = 0; i < t.size(); ++i)
        for (size_t k = 0; k < f.size(); ++k)
            for (size_t j = 0; j < f[k].size(); ++j) out[i][j] += t[i][k] * f[k][j];
    return out;
}

OutputProfile speakerProfile(LayoutID l) {
    OutputProfile p;
    p.kind = OutputProfile::Kind::speakers;
    p.layout = l;
    for (size_t i = 0; i < speakersOf(l).size(); ++i) {
        p.outputs.push_back(static_cast<int64_t>(i));
        p.trimsDB.push_back(0.0);
    }
    return p;
}

OutputProfile headphoneProfile(int64_t left, int64_t right) {
    OutputProfile p;
    p.kind = OutputProfile::Kind::headphones;
    p.layout = LayoutID::l714;  // ignored for headphones
    p.headphoneLeft = left;
    p.headphoneRight = right;
    return p;
}

float at(const MixConfig& m, int d, int c) { return m.matrix[static_cast<size_t>(d * m.inChannels + c)]; }

// Expects the config to hold exactly `g` × `expected` placed at device
// channel map[r] (own index when absent) and input column offset + c.
void expectPlaced(const MixConfig& got, const Matrix& expected, double g, int64_t offset = 0,
                  const std::vector<int>& map = {}) {
    std::vector<float> want(got.matrix.size(), 0.0f);
    for (size_t r = 0; r < expected.size(); ++r) {
        const int d = r < map.size() ? map[r] : static_cast<int>(r);
        if (d < 0 || d >= got.rows) continue;
        for (size_t c = 0; c < expected[r].size(); ++c) {
            const int64_t col = offset + static_cast<int64_t>(c);
            if (col < 0 || col >= got.inChannels || expected[r][c] == 0) continue;
            want[static_cast<size_t>(d * got.inChannels + col)] += static_cast<float>(g * expected[r][c]);
        }
    }
    ASSERT_EQ(got.matrix.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_FLOAT_EQ(got.matrix[i], want[i])
            << "device channel " << i / static_cast<size_t>(got.inChannels) << ", column "
            << i % static_cast<size_t>(got.inChannels);
}

}  // namespace

TEST(MonitorMatrix, MultiplyFollowsTheShorterSide) {
    EXPECT_TRUE(MonitorMatrix::multiply({}, {{1}}).empty());
    EXPECT_TRUE(MonitorMatrix::multiply({{1}}, {}).empty());
    EXPECT_EQ(MonitorMatrix::multiply({{1, 2}, {3, 4}}, {{5, 6, 7}, {8, 9, 10}}),
              (Matrix{{21, 24, 27}, {47, 54, 61}}));
    // A row of a longer than b's row count sums only over b's rows; a shorter one over its own length.
    EXPECT_EQ(MonitorMatrix::multiply({{1, 2, 3}, {2}}, {{1, 1}, {1, 0}}), (Matrix{{3, 1}, {2, 2}}));
}

TEST(MonitorMatrix, FullModeIsTheLayoutMatrixProductPlacedUnscaled) {
    MonitorState s;
    const auto l916 = speakersOf(LayoutID::l916);
    const MixConfig m = MonitorMatrix::build(s, 16, speakerProfile(LayoutID::l916), 16);
    EXPECT_EQ(m.inChannels, 16);
    EXPECT_EQ(m.rows, 16);
    EXPECT_FALSE(m.toBinaural);
    EXPECT_EQ(m.binLeft, 0);
    EXPECT_EQ(m.binRight, 1);
    EXPECT_TRUE(m.virtualDirections.empty());
    EXPECT_FALSE(m.upmix);
    expectPlaced(m, product(layoutOnto(l916, l916), layoutOnto(l916, l916)), 1.0);
    // On 9.1.6 speakers the 9.1.6 bus passes one to one.
    for (int d = 0; d < 16; ++d)
        for (int c = 0; c < 16; ++c) EXPECT_EQ(at(m, d, c), d == c ? 1.0f : 0.0f);

    // Other sources and layouts: T × F with both from layoutMatrix.
    for (auto source : monitorSource::allCases()) {
        for (auto l : layout::allCases()) {
            s.source = source;
            const auto& src = monitorSource::speakers(source);
            const int n = static_cast<int>(src.size());
            const int dev = static_cast<int>(speakersOf(l).size());
            const MixConfig x = MonitorMatrix::build(s, n, speakerProfile(l), dev);
            expectPlaced(x, product(layoutOnto(speakersOf(l), speakersOf(l)), layoutOnto(src, speakersOf(l))), 1.0);
        }
    }
}

TEST(MonitorMatrix, FoldDownModes) {
    MonitorState s;
    s.source = MonitorSource::l51;
    s.mode = MonitorMode::mono;
    const auto target = speakersOf(LayoutID::l714);
    const MixConfig mono = MonitorMatrix::build(s, 6, speakerProfile(LayoutID::l714), 12);
    const double k = 1 / std::sqrt(5.0);
    const Matrix f = {{k, k, k, 0, k, k}};  // L R C LFE Ls Rs
    expectPlaced(mono, product(layoutOnto({S::C}, target), f), 1.0);
    EXPECT_FLOAT_EQ(at(mono, 2, 0), static_cast<float>(k));  // C on the centre speaker
    EXPECT_EQ(at(mono, 2, 3), 0.0f);                          // no LFE in a mono fold

    s.source = MonitorSource::stereo;
    const MixConfig monoStereo = MonitorMatrix::build(s, 2, speakerProfile(LayoutID::stereo), 2);
    const double h = 1 / std::sqrt(2.0);
    expectPlaced(monoStereo, product(layoutOnto({S::C}, speakersOf(LayoutID::stereo)), Matrix{{h, h}}), 1.0);

    // The folds through their own speakers, then onto the target.
    s.source = MonitorSource::l916;
    const auto bus = monitorSource::speakers(MonitorSource::l916);
    for (auto [mode, foldLayout] : {std::pair{MonitorMode::l714, LayoutID::l714},
                                    std::pair{MonitorMode::l51, LayoutID::l51},
                                    std::pair{MonitorMode::stereo, LayoutID::stereo}}) {
        s.mode = mode;
        const auto& fold = speakersOf(foldLayout);
        EXPECT_EQ(MonitorMatrix::foldDownSpeakers(mode, target), fold);
        const MixConfig m = MonitorMatrix::build(s, 16, speakerProfile(LayoutID::l916), 16);
        expectPlaced(m, product(layoutOnto(fold, speakersOf(LayoutID::l916)), layoutOnto(bus, fold)), 1.0);
    }
    EXPECT_EQ(MonitorMatrix::foldDownSpeakers(MonitorMode::full, target), target);
    EXPECT_EQ(MonitorMatrix::foldDownSpeakers(MonitorMode::mono, target), std::vector<S>{S::C});
}

TEST(MonitorMatrix, HeightTrimScalesOnlyFoldRowsAboveTwentyDegrees) {
    MonitorState s;
    s.heightTrimDB = -6;
    s.mode = MonitorMode::l714;
    const auto bus = monitorSource::speakers(MonitorSource::l916);
    const auto& fold = speakersOf(LayoutID::l714);
    const auto& target = speakersOf(LayoutID::l916);
    Matrix f = layoutOnto(bus, fold);
    const double h = std::pow(10.0, -6.0 / 20.0);
    for (size_t r = 0; r < fold.size(); ++r)
        if (fold[r] == S::Ltf || fold[r] == S::Rtf || fold[r] == S::Ltr || fold[r] == S::Rtr)
            for (double& v : f[r]) v *= h;
    expectPlaced(MonitorMatrix::build(s, 16, speakerProfile(LayoutID::l916), 16), product(layoutOnto(fold, target), f),
                 1.0);

    // Full mode on 9.1.6: the six heights (Ltm/Rtm at 60 degrees among them), nothing else.
    s.mode = MonitorMode::full;
    const MixConfig full = MonitorMatrix::build(s, 16, speakerProfile(LayoutID::l916), 16);
    for (int d = 0; d < 16; ++d) {
        const bool height = speaker::direction(target[d], target).el > 20;
        EXPECT_FLOAT_EQ(at(full, d, d), height ? static_cast<float>(h) : 1.0f) << d;
    }

    // Folds without heights take no trim.
    for (auto mode : {MonitorMode::l51, MonitorMode::stereo, MonitorMode::mono}) {
        MonitorState plain;
        plain.mode = mode;
        s.mode = mode;
        EXPECT_EQ(MonitorMatrix::build(s, 16, speakerProfile(LayoutID::l916), 16).matrix,
                  MonitorMatrix::build(plain, 16, speakerProfile(LayoutID::l916), 16).matrix);
    }
}

TEST(MonitorMatrix, SoloMuteDimAndVolume) {
    const auto profile = speakerProfile(LayoutID::l916);
    const auto& target = speakersOf(LayoutID::l916);
    auto rowsSounding = [&](const MonitorState& s) {
        std::vector<S> out;
        const MixConfig m = MonitorMatrix::build(s, 16, profile, 16);
        for (int d = 0; d < 16; ++d)
            for (int c = 0; c < 16; ++c)
                if (at(m, d, c) != 0) {
                    out.push_back(target[d]);
                    break;
                }
        return out;
    };
    MonitorState s;
    s.solo = {S::C};
    EXPECT_EQ(rowsSounding(s), std::vector<S>{S::C});
    s.solo = {};
    s.muted = {S::LFE};
    auto all = target;
    all.erase(all.begin() + 3);
    EXPECT_EQ(rowsSounding(s), all);
    s.solo = {S::L};
    s.muted = {S::L};
    EXPECT_TRUE(rowsSounding(s).empty());
    // Solo names output speakers: a stereo fold soloed on C is silent.
    MonitorState st;
    st.mode = MonitorMode::stereo;
    st.solo = {S::C};
    EXPECT_TRUE(rowsSounding(st).empty());

    MonitorState loud;
    loud.volumeDB = -3;
    loud.dim = true;
    const MixConfig dimmed = MonitorMatrix::build(loud, 16, profile, 16);
    EXPECT_FLOAT_EQ(at(dimmed, 0, 0), static_cast<float>(std::pow(10.0, -23.0 / 20.0)));

    MonitorState muted;
    muted.mute = true;
    muted.source = MonitorSource::stereo;
    muted.upmix.enabled = true;
    const MixConfig silent = MonitorMatrix::build(muted, 2, speakerProfile(LayoutID::l714), 12);
    EXPECT_TRUE(silent.upmix);
    EXPECT_EQ(silent.inChannels, 12);
    EXPECT_EQ(silent.rows, 12);
    EXPECT_EQ(silent.matrix.size(), 144u);
    for (float v : silent.matrix) EXPECT_EQ(v, 0.0f);
}

TEST(MonitorMatrix, ChannelMapTrimsAndDeviceEdges) {
    MonitorState s;
    s.source = MonitorSource::stereo;
    // Headphone ears outside a two-channel device: nothing plays.
    const MixConfig outside = MonitorMatrix::build(s, 2, headphoneProfile(4, 5), 2);
    EXPECT_EQ(outside.matrix.size(), 4u);
    for (float v : outside.matrix) EXPECT_EQ(v, 0.0f);
    // Both ears on channel 0: L and R add up there.
    const MixConfig both = MonitorMatrix::build(s, 2, headphoneProfile(0, 0), 6);
    EXPECT_EQ(at(both, 0, 0), 1.0f);
    EXPECT_EQ(at(both, 0, 1), 1.0f);
    for (int d = 1; d < 6; ++d) EXPECT_EQ(at(both, d, 0) + at(both, d, 1), 0.0f);
    // Headphones take no trims, even when the profile carries some.
    OutputProfile hp = headphoneProfile(1, 0);
    hp.trimsDB = {-10, -10};
    const MixConfig swapped = MonitorMatrix::build(s, 2, hp, 2);
    EXPECT_EQ(at(swapped, 1, 0), 1.0f);
    EXPECT_EQ(at(swapped, 0, 1), 1.0f);

    // A map shorter than the layout: the rest go to their own index, when the device has it.
    s.source = MonitorSource::l51;
    OutputProfile p = speakerProfile(LayoutID::l51);
    p.outputs = {5, 4};
    p.trimsDB = {-6, 0, 0, 0, 0, 3};
    const MixConfig m = MonitorMatrix::build(s, 6, p, 6);
    const Matrix direct = product(layoutOnto(speakersOf(LayoutID::l51), speakersOf(LayoutID::l51)),
                                  layoutOnto(speakersOf(LayoutID::l51), speakersOf(LayoutID::l51)));
    EXPECT_FLOAT_EQ(at(m, 5, 0), static_cast<float>(std::pow(10.0, -6.0 / 20.0)));  // L, trimmed, on 5
    EXPECT_FLOAT_EQ(at(m, 4, 1), 1.0f);                                               // R on 4
    EXPECT_FLOAT_EQ(at(m, 2, 2), 1.0f);                                               // C on its own index
    // Rs (index 5) lands on channel 5 with L: the two rows add up.
    EXPECT_FLOAT_EQ(at(m, 5, 5), static_cast<float>(std::pow(10.0, 3.0 / 20.0) * direct[5][5]));
    EXPECT_FLOAT_EQ(at(m, 4, 4), static_cast<float>(direct[4][4]));  // Ls on its own index 4, beside R
    // Mapped beyond the device, or to a negative channel: dropped.
    p.outputs = {-1, 99, 2, 3, 4, 5};
    p.trimsDB = {};
    const MixConfig dropped = MonitorMatrix::build(s, 6, p, 6);
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(at(dropped, 0, c) + at(dropped, 1, c), 0.0f);
    }
    EXPECT_EQ(at(dropped, 2, 2), 1.0f);
    // A device with fewer channels than the layout loses the speakers beyond it.
    const MixConfig small = MonitorMatrix::build(s, 6, speakerProfile(LayoutID::l51), 3);
    EXPECT_EQ(small.rows, 3);
    EXPECT_EQ(small.matrix.size(), 18u);
    // Zero counts give an empty matrix, negative ones count as zero.
    EXPECT_TRUE(MonitorMatrix::build(s, 0, speakerProfile(LayoutID::l51), 6).matrix.empty());
    EXPECT_TRUE(MonitorMatrix::build(s, 6, speakerProfile(LayoutID::l51), -2).matrix.empty());
}

TEST(MonitorMatrix, SourceOffsetShiftsColumnsAndOnlySkipsWhatFallsOutside) {
    MonitorState s;
    s.source = MonitorSource::l51;
    s.sourceOffset = 8;
    const auto profile = speakerProfile(LayoutID::l51);
    const auto& l51 = speakersOf(LayoutID::l51);
    const Matrix m = product(layoutOnto(l51, l51), layoutOnto(l51, l51));
    const MixConfig wide = MonitorMatrix::build(s, 16, profile, 6);
    EXPECT_EQ(wide.inChannels, 16);
    expectPlaced(wide, m, 1.0, 8);
    for (int c = 0; c < 6; ++c) EXPECT_EQ(at(wide, c, 8 + c), 1.0f);
    // With 12 inputs only channels 8 to 11 (L R C LFE of the bus) are there.
    const MixConfig narrow = MonitorMatrix::build(s, 12, profile, 6);
    expectPlaced(narrow, m, 1.0, 8);
    EXPECT_EQ(at(narrow, 3, 11), 1.0f);
    EXPECT_EQ(at(narrow, 4, 4), 0.0f);
    // A negative offset loses the first columns.
    s.sourceOffset = -2;
    expectPlaced(MonitorMatrix::build(s, 6, profile, 6), m, 1.0, -2);
    // Offsets near the 64-bit limits (a damaged stored state) skip every
    // column instead of overflowing onto a real one.
    for (int64_t off : {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max() - 3,
                        std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min() + 3,
                        int64_t{1} << 32}) {
        s.sourceOffset = off;
        const MixConfig far = MonitorMatrix::build(s, 16, profile, 6);
        for (float v : far.matrix) ASSERT_EQ(v, 0.0f) << off;
    }
}

TEST(MonitorMatrix, UpmixRequestAndItsOffset) {
    MonitorState s;
    s.source = MonitorSource::stereo;
    s.upmix.enabled = true;
    s.sourceOffset = 4;
    const auto& l714 = speakersOf(LayoutID::l714);
    ASSERT_TRUE(UpmixPlanner::applies({S::L, S::R}, l714));
    const MixConfig m = MonitorMatrix::build(s, 8, speakerProfile(LayoutID::l714), 12);
    ASSERT_TRUE(m.upmix);
    EXPECT_EQ(m.upmix->source, (std::vector<S>{S::L, S::R}));
    EXPECT_EQ(m.upmix->target, l714);
    EXPECT_EQ(m.upmix->params, s.upmix.params);
    EXPECT_EQ(m.inChannels, 12);
    EXPECT_EQ(m.upmixOffset, 4);
    // The columns are the upmixer's outputs, not shifted by the offset.
    expectPlaced(m, product(layoutOnto(l714, l714), layoutOnto(l714, l714)), 1.0);

    // No request on headphones, when disabled, or when the planner declines.
    EXPECT_FALSE(MonitorMatrix::build(s, 8, headphoneProfile(0, 1), 2).upmix);
    EXPECT_EQ(MonitorMatrix::build(s, 8, headphoneProfile(0, 1), 2).inChannels, 8);
    s.source = MonitorSource::l916;
    EXPECT_FALSE(MonitorMatrix::build(s, 16, speakerProfile(LayoutID::l714), 12).upmix);
    s.source = MonitorSource::stereo;
    s.upmix.enabled = false;
    EXPECT_FALSE(MonitorMatrix::build(s, 8, speakerProfile(LayoutID::l714), 12).upmix);

    // An offset beyond 32 bits gives an offset no render side takes, never a wrapped one.
    s.upmix.enabled = true;
    s.sourceOffset = (int64_t{1} << 32) + 2;
    EXPECT_EQ(MonitorMatrix::build(s, 8, speakerProfile(LayoutID::l714), 12).upmixOffset, -1);
    s.sourceOffset = std::numeric_limits<int64_t>::min();
    EXPECT_LT(MonitorMatrix::build(s, 8, speakerProfile(LayoutID::l714), 12).upmixOffset, 0);
    s.sourceOffset = -3;
    EXPECT_EQ(MonitorMatrix::build(s, 8, speakerProfile(LayoutID::l714), 12).upmixOffset, -3);
}
