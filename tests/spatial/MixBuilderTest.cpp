#include "spatial/MixBuilder.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace qm;
using S = SpeakerID;

namespace {

OutputProfile speakerProfile(LayoutID layout, std::vector<int64_t> outputs, std::vector<double> trims) {
    OutputProfile p;
    p.kind = OutputProfile::Kind::speakers;
    p.layout = layout;
    p.outputs = std::move(outputs);
    p.trimsDB = std::move(trims);
    p.headphoneLeft = 0;
    p.headphoneRight = 1;
    return p;
}

OutputProfile speakerProfile(LayoutID layout) {
    size_t n = layout::speakers(layout).size();
    std::vector<int64_t> outs;
    for (size_t i = 0; i < n; ++i) outs.push_back(static_cast<int64_t>(i));
    return speakerProfile(layout, outs, std::vector<double>(n, 0.0));
}

OutputProfile headphones(int64_t left = 0, int64_t right = 1) {
    OutputProfile p = speakerProfile(LayoutID::stereo);
    p.kind = OutputProfile::Kind::headphones;
    p.headphoneLeft = left;
    p.headphoneRight = right;
    return p;
}

SourceFormat speakers(std::vector<SpeakerID> list) { return SourceFormat::speakers(std::move(list)); }
SourceFormat speakers(LayoutID id) { return SourceFormat::speakers(layout::speakers(id)); }

float at(const MixConfig& c, int row, int col) {
    return c.matrix.at(static_cast<size_t>(row) * static_cast<size_t>(c.inChannels) + static_cast<size_t>(col));
}

MixConfig build(const SourceFormat& src, int channels, const OutputProfile& p, int device,
                ListenMode listen = ListenMode::normal, bool monoToCenter = true,
                std::optional<UpmixSettings> upmix = std::nullopt, Rotation rot = {}) {
    return MixBuilder::config(src, channels, p, device, listen, rot, monoToCenter, upmix);
}

void expectSane(const MixConfig& c, const std::string& what) {
    ASSERT_EQ(c.matrix.size(), static_cast<size_t>(c.rows) * static_cast<size_t>(c.inChannels)) << what;
    for (float g : c.matrix) ASSERT_TRUE(std::isfinite(g)) << what;
    if (c.toBinaural) {
        EXPECT_EQ(c.virtualDirections.size(), static_cast<size_t>(c.rows)) << what;
    } else {
        EXPECT_TRUE(c.virtualDirections.empty()) << what;
    }
}

Matrix layoutMatrix(const SourceFormat& src, int channels, const std::vector<SpeakerID>& target,
                    Rotation rot = {}) {
    return MixBuilder::layoutMatrix(src, channels, target, ListenMode::normal, rot, true);
}

UpmixSettings upmixOn() {
    UpmixSettings u;
    u.enabled = true;
    return u;
}

// The gains a decoding matrix gives a plane wave of harmonics `y`.
std::vector<double> applied(const Matrix& m, const std::vector<double>& y) {
    std::vector<double> gains(m.size());
    for (size_t r = 0; r < m.size(); ++r)
        for (size_t k = 0; k < y.size(); ++k) gains[r] += m[r][k] * y[k];
    return gains;
}

// The direction of the energy vector of a gain set over speaker directions.
Direction energyDirection(const std::vector<double>& gains, const std::vector<Direction>& dirs) {
    Vec3 e{};
    for (size_t s = 0; s < gains.size(); ++s) {
        Vec3 u = unitVector(dirs[s]);
        for (int i = 0; i < 3; ++i) e[i] += gains[s] * gains[s] * u[i];
    }
    return directionOf(e);
}

}  // namespace

TEST(ListenMode, JsonIsTheRawValueDecodedStrictly) {
    for (ListenMode m : listenMode::allCases()) {
        nlohmann::json j = m;
        EXPECT_EQ(j.get<std::string>(), listenMode::rawValue(m));
        EXPECT_EQ(j.get<ListenMode>(), m);
    }
    EXPECT_FALSE(listenMode::fromRawValue("Mono"));
    EXPECT_THROW(nlohmann::json("side").get<ListenMode>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json(3).get<ListenMode>(), nlohmann::json::exception);
}

TEST(MixBuilder, StereoOnNearfieldFollowsTheListenMode) {
    auto p = speakerProfile(LayoutID::stereo);
    auto c = build(speakers({S::L, S::R}), 2, p, 2);
    EXPECT_EQ(c.inChannels, 2);
    EXPECT_EQ(c.rows, 2);
    EXPECT_EQ(c.matrix, (std::vector<float>{1, 0, 0, 1}));
    EXPECT_FALSE(c.toBinaural || c.upmix);
    auto ms = build(speakers({S::L, S::R}), 2, p, 2, ListenMode::midSide);
    EXPECT_EQ(ms.matrix, (std::vector<float>{0.7071f, 0.7071f, 0.7071f, -0.7071f}));
    auto mono = build(speakers({S::L, S::R}), 2, p, 2, ListenMode::mono);
    EXPECT_EQ(mono.matrix, (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));
}

TEST(MixBuilder, MonoLandsOnTheCentreOrThePair) {
    auto on = build(speakers({S::C}), 1, speakerProfile(LayoutID::l51), 6, ListenMode::normal, true);
    EXPECT_EQ(on.matrix, (std::vector<float>{0, 0, 1, 0, 0, 0}));
    auto off = build(speakers({S::C}), 1, speakerProfile(LayoutID::l51), 6, ListenMode::normal, false);
    EXPECT_EQ(off.matrix, (std::vector<float>{0.7071f, 0.7071f, 0, 0, 0, 0}));
    auto stereo = build(speakers({S::C}), 1, speakerProfile(LayoutID::stereo), 2, ListenMode::normal, true);
    EXPECT_EQ(stereo.matrix, (std::vector<float>{0.7071f, 0.7071f}));
    for (bool m2c : {true, false}) {
        auto hp = build(speakers({S::C}), 1, headphones(), 2, ListenMode::normal, m2c);
        EXPECT_FALSE(hp.toBinaural);
        EXPECT_EQ(hp.matrix, (std::vector<float>{0.7071f, 0.7071f}));
    }
    // A target without both L and R takes mono on its first speaker.
    auto single = layoutMatrix(speakers({S::C}), 1, {S::Ls, S::L});
    EXPECT_EQ(single, (Matrix{{1}, {0}}));
}

TEST(MixBuilder, FiveOneFoldedToStereoSpeakers) {
    auto m = layoutMatrix(speakers(LayoutID::l51), 6, {S::L, S::R});
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0][0], 1);
    EXPECT_EQ(m[1][1], 1);
    for (int c : {2, 3}) {  // C and LFE
        EXPECT_NEAR(m[0][c], 0.70711, 1e-5);
        EXPECT_NEAR(m[1][c], 0.70711, 1e-5);
    }
    EXPECT_NEAR(m[0][4], 0.7071, 1e-12);  // Ls at 110°: wide, folded to the front
    EXPECT_NEAR(m[1][4], 0, 1e-12);
    EXPECT_NEAR(m[0][5], 0, 1e-12);
    EXPECT_NEAR(m[1][5], 0.7071, 1e-12);
}

TEST(MixBuilder, LargerBedsFoldToTheNearestSpeakerWhole) {
    auto src = layout::speakers(LayoutID::l714);
    auto target = layout::speakers(LayoutID::l51);
    auto m = layoutMatrix(speakers(src), 12, target);
    auto rowOf = [&](size_t col) {
        int found = -1, count = 0;
        for (size_t r = 0; r < m.size(); ++r)
            if (m[r][col] != 0) {
                EXPECT_EQ(m[r][col], 1);
                found = static_cast<int>(r);
                ++count;
            }
        EXPECT_EQ(count, 1) << "column " << col;
        return found;
    };
    EXPECT_EQ(rowOf(6), 4);   // Lrs -> Ls
    EXPECT_EQ(rowOf(7), 5);   // Rrs -> Rs
    EXPECT_EQ(rowOf(8), 0);   // Ltf (45°) -> L (30°)
    EXPECT_EQ(rowOf(9), 1);   // Rtf -> R
    EXPECT_EQ(rowOf(10), 4);  // Ltr (135°) -> Ls (110°)
    EXPECT_EQ(rowOf(11), 5);
    EXPECT_EQ(rowOf(3), 3);   // LFE to LFE
    // Onto a target without LFE, LFE is placed by its direction (the front).
    auto noLfe = layoutMatrix(speakers(LayoutID::l51), 6, {S::L, S::R, S::C, S::Ls, S::Rs});
    EXPECT_EQ(noLfe[2][3], 1);
    // Onto an LFE-only target, unmatched speakers stay silent.
    auto lfeOnly = layoutMatrix(speakers(LayoutID::l51), 6, {S::LFE});
    EXPECT_EQ(lfeOnly, (Matrix{{0, 0, 0, 1, 0, 0}}));
}

TEST(MixBuilder, ChannelMapTrimsAndDeviceLimits) {
    // Outputs shorter than the layout: the rest go to their own index; a row
    // routed beyond the device is dropped; missing trims are 0 dB.
    auto p = speakerProfile(LayoutID::l51, {1, 0, 9}, {-6});
    auto c = build(speakers(LayoutID::l51), 6, p, 6);
    ASSERT_EQ(c.rows, 6);
    EXPECT_NEAR(at(c, 1, 0), std::pow(10.0, -6.0 / 20), 1e-6);  // L on channel 1 at -6 dB
    EXPECT_EQ(at(c, 0, 1), 1);                                  // R on channel 0
    for (int r = 0; r < 6; ++r) EXPECT_EQ(at(c, r, 2), 0) << r; // C routed to 9: dropped
    EXPECT_EQ(at(c, 3, 3), 1);
    EXPECT_EQ(at(c, 5, 5), 1);
    // Two layout rows on one device channel add up.
    auto shared = build(speakers({S::C}), 1, speakerProfile(LayoutID::stereo, {0, 0}, {0, 0}), 2,
                        ListenMode::normal, false);
    EXPECT_EQ(shared.matrix, (std::vector<float>{2 * 0.7071f, 0}));
    // A 16-speaker profile on a 2-channel device keeps only what fits.
    auto small = build(speakers(LayoutID::l916), 16, speakerProfile(LayoutID::l916), 2);
    EXPECT_EQ(small.rows, 2);
    EXPECT_EQ(small.matrix.size(), 32u);
    EXPECT_EQ(at(small, 0, 0), 1);
    EXPECT_EQ(at(small, 1, 1), 1);
    // No device channels still gives one row.
    auto none = build(speakers({S::L, S::R}), 2, speakerProfile(LayoutID::stereo), 0);
    EXPECT_EQ(none.rows, 1);
    EXPECT_EQ(none.matrix, (std::vector<float>{1, 0}));
}

TEST(MixBuilder, ChannelNumbersOutsideTheDeviceAreNeverWritten) {
    const int64_t huge = int64_t{1} << 32;  // becomes 0 if cut to 32 bits
    auto p = speakerProfile(LayoutID::stereo, {huge, -1}, {0, 0});
    auto c = build(speakers({S::L, S::R}), 2, p, 2);
    EXPECT_EQ(c.matrix, (std::vector<float>(4, 0.0f)));
    auto max = speakerProfile(LayoutID::stereo, {std::numeric_limits<int64_t>::max(),
                                                 std::numeric_limits<int64_t>::min()}, {0, 0});
    EXPECT_EQ(build(speakers({S::L, S::R}), 2, max, 2).matrix, (std::vector<float>(4, 0.0f)));

    // Headphone ears: direct stereo writes only the ears on the device.
    auto direct = build(speakers({S::L, S::R}), 2, headphones(huge, 1), 2);
    EXPECT_EQ(direct.matrix, (std::vector<float>{0, 0, 0, 1}));
    // Binaural: an ear outside the device is marked absent, never cut down
    // to a wrong channel.
    auto bin = build(speakers(LayoutID::l51), 6, headphones(huge + 3, -5), 4);
    EXPECT_TRUE(bin.toBinaural);
    EXPECT_EQ(bin.binLeft, kNoDeviceChannel);
    EXPECT_EQ(bin.binRight, kNoDeviceChannel);
    auto ok = build(speakers(LayoutID::l51), 6, headphones(2, 3), 4);
    EXPECT_EQ(ok.binLeft, 2);
    EXPECT_EQ(ok.binRight, 3);
    auto beyond = build(speakers(LayoutID::l51), 6, headphones(2, 4), 4);
    EXPECT_EQ(beyond.binLeft, 2);
    EXPECT_EQ(beyond.binRight, kNoDeviceChannel);
}

// No trim boosts past the trim control's top, whatever the profile holds.
TEST(MixBuilder, AbsurdTrimsStayWithinTheControl) {
    auto p = speakerProfile(LayoutID::stereo, {0, 1},
                            {std::numeric_limits<double>::quiet_NaN(), 1e300});
    auto c = build(speakers({S::L, S::R}), 2, p, 2);
    EXPECT_EQ(at(c, 0, 0), 1);  // NaN counts as 0 dB
    EXPECT_TRUE(std::isfinite(at(c, 1, 1)));
    EXPECT_FLOAT_EQ(at(c, 1, 1), float(std::pow(10.0, OutputProfile::kMaxTrimDB / 20)));
    auto silent = speakerProfile(LayoutID::stereo, {0, 1}, {-std::numeric_limits<double>::infinity(), 0});
    EXPECT_EQ(at(build(speakers({S::L, S::R}), 2, silent, 2), 0, 0), 0);
}

TEST(MixBuilder, DiscreteChannelsGoOneToOne) {
    auto m = layoutMatrix(SourceFormat::discrete(8), 8, layout::speakers(LayoutID::l51));
    ASSERT_EQ(m.size(), 6u);
    for (size_t r = 0; r < 6; ++r)
        for (size_t c = 0; c < 8; ++c) EXPECT_EQ(m[r][c], r == c ? 1 : 0);
    // Discrete on headphones: the first two channels to the ears.
    auto hp = build(SourceFormat::discrete(3), 3, headphones(), 2);
    EXPECT_FALSE(hp.toBinaural);
    EXPECT_EQ(hp.matrix, (std::vector<float>{1, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(MixBuilder::binauralMatrix(SourceFormat::discrete(4), 4, {}).matrix.empty());
}

TEST(MixBuilder, BedsAndAmbisonicsOnHeadphonesAreBinaural) {
    auto bed = build(speakers(LayoutID::l51), 6, headphones(0, 1), 2, ListenMode::mono);
    EXPECT_TRUE(bed.toBinaural);
    EXPECT_EQ(bed.rows, 6);
    EXPECT_EQ(bed.inChannels, 6);
    // Five speakers and an LFE at half carry 5.25 units of power: the bus
    // is scaled so that they add up to one half.
    const float g = static_cast<float>(1 / std::sqrt(2 * 5.25));
    EXPECT_FLOAT_EQ(at(bed, 3, 3), 0.5f * g);  // LFE at half
    EXPECT_FLOAT_EQ(at(bed, 4, 4), g);
    EXPECT_EQ(at(bed, 4, 3), 0.0f);
    EXPECT_EQ(bed.virtualDirections[4], (Direction{110, 0}));
    auto amb = build(SourceFormat::ambisonic(1, AmbiNorm::sn3d), 4, headphones(), 2);
    EXPECT_TRUE(amb.toBinaural);
    EXPECT_EQ(amb.rows, 26);
    EXPECT_EQ(amb.virtualDirections, Ambisonics::lebedev26().dirs);
}

TEST(MixBuilder, UpmixIsAttachedOnlyWhenItApplies) {
    // Stereo on headphones: 7.1.4 upmix into twelve virtual sources.
    auto hp = build(speakers({S::L, S::R}), 2, headphones(), 2, ListenMode::midSide, true, upmixOn(),
                    Rotation{90, 0, 0});
    EXPECT_TRUE(hp.toBinaural);
    EXPECT_EQ(hp.inChannels, 12);
    EXPECT_EQ(hp.rows, 12);
    // The headroom is the stereo source's, not the twelve speakers' it is
    // spread over.
    EXPECT_FLOAT_EQ(at(hp, 3, 3), 0.25f);
    EXPECT_FLOAT_EQ(at(hp, 0, 0), 0.5f);
    ASSERT_TRUE(hp.upmix);
    EXPECT_EQ(hp.upmix->source, (std::vector<SpeakerID>{S::L, S::R}));
    EXPECT_EQ(hp.upmix->target, layout::speakers(LayoutID::l714));
    EXPECT_EQ(hp.upmix->params, upmixOn().params);
    EXPECT_EQ(hp.upmixOffset, 0);
    // Speaker count differs from the channel count: no upmix.
    auto mismatch = build(speakers({S::L, S::R}), 3, headphones(), 2, ListenMode::normal, true, upmixOn());
    EXPECT_FALSE(mismatch.upmix);
    // Disabled: no upmix.
    EXPECT_FALSE(build(speakers({S::L, S::R}), 2, headphones(), 2, ListenMode::normal, true, UpmixSettings{}).upmix);

    // Stereo on 5.1 speakers: the matrix takes the 5.1 upmix outputs one to
    // one and the listen mode is forced to normal.
    auto sp = build(speakers({S::L, S::R}), 2, speakerProfile(LayoutID::l51), 6, ListenMode::left, true, upmixOn());
    ASSERT_TRUE(sp.upmix);
    EXPECT_EQ(sp.inChannels, 6);
    EXPECT_EQ(sp.upmix->target, layout::speakers(LayoutID::l51));
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(at(sp, r, c), r == c ? 1 : 0);
    // Stereo on stereo speakers: nothing to fill, plain stereo.
    auto plain = build(speakers({S::L, S::R}), 2, speakerProfile(LayoutID::stereo), 2, ListenMode::normal, true,
                       upmixOn());
    EXPECT_FALSE(plain.upmix);
    EXPECT_EQ(plain.inChannels, 2);
}

TEST(MixBuilder, StereoGainsAndNearest) {
    auto near = [](std::pair<double, double> g, double l, double r) {
        EXPECT_NEAR(g.first, l, 1e-12);
        EXPECT_NEAR(g.second, r, 1e-12);
    };
    const double c45 = std::cos(std::numbers::pi / 4);
    near(MixBuilder::stereoGains({30, 0}), 1, 0);
    near(MixBuilder::stereoGains({-30, 0}), 0, 1);
    near(MixBuilder::stereoGains({0, 0}), c45, c45);
    // Behind folds to the front; wide directions drop by 0.7071, high ones once more.
    near(MixBuilder::stereoGains({150, 0}), 0.7071, 0);
    near(MixBuilder::stereoGains({0, 45}), 0.7071 * c45, 0.7071 * c45);
    near(MixBuilder::stereoGains({90, 45}), 0.49999041, 0);

    EXPECT_EQ(MixBuilder::nearest({0, 0}, layout::speakers(LayoutID::l51)), 2);  // C, never the LFE
    EXPECT_EQ(MixBuilder::nearest({15, 0}, {S::C, S::L}), 0);                    // tie: the lower index
    EXPECT_FALSE(MixBuilder::nearest({0, 0}, {}));
    EXPECT_FALSE(MixBuilder::nearest({0, 0}, {S::LFE}));
}

TEST(MixBuilder, EmptyTargetsAndSourcesGiveSilence) {
    for (const SourceFormat& src : {speakers({S::C}), speakers({S::L, S::R}), speakers(LayoutID::l714),
                                    SourceFormat::ambisonic(2, AmbiNorm::sn3d), SourceFormat::discrete(3)}) {
        auto m = layoutMatrix(src, 2, {});
        EXPECT_TRUE(m.empty());
    }
    auto emptySource = build(speakers({}), 0, speakerProfile(LayoutID::l51), 6);
    EXPECT_EQ(emptySource.inChannels, 0);
    EXPECT_EQ(emptySource.rows, 6);
    EXPECT_TRUE(emptySource.matrix.empty());
    auto negative = build(SourceFormat::discrete(2), -4, speakerProfile(LayoutID::stereo), -3);
    EXPECT_EQ(negative.inChannels, 0);
    EXPECT_EQ(negative.rows, 1);
    // Ambisonics onto only an LFE stays silent.
    auto lfe = layoutMatrix(SourceFormat::ambisonic(1, AmbiNorm::sn3d), 4, {S::LFE});
    EXPECT_EQ(lfe, (Matrix{{0, 0, 0, 0}}));
}

TEST(MixBuilder, AmbisonicOrdersOutsideOneToThree) {
    // Order 4: harmonics above the third order stay zero, so those columns
    // stay silent; the matrix has the size the caller asked for.
    for (LayoutID id : layout::allCases()) {
        auto target = layout::speakers(id);
        auto m4 = layoutMatrix(SourceFormat::ambisonic(4, AmbiNorm::sn3d), 25, target);
        ASSERT_EQ(m4.size(), target.size());
        for (const auto& row : m4) {
            ASSERT_EQ(row.size(), 25u);
            for (size_t c = 16; c < 25; ++c) EXPECT_EQ(row[c], 0);
        }
        // An order no file can carry is still bounded and finite.
        auto big = layoutMatrix(SourceFormat::ambisonic(1'000'000, AmbiNorm::n3d), 16, target, {30, 0, 0});
        for (const auto& row : big)
            for (double g : row) EXPECT_TRUE(std::isfinite(g));
        // A negative order carries no channel: silence.
        auto neg = layoutMatrix(SourceFormat::ambisonic(-1, AmbiNorm::sn3d), 4, target);
        for (const auto& row : neg)
            for (double g : row) EXPECT_EQ(g, 0);
    }
}

// FuMa conversion covers the first order only: higher-order FuMa channels
// read as silence instead of reaching past the 4x4 conversion.
TEST(MixBuilder, HigherOrderFuMaReadsOnlyItsFirstOrder) {
    for (LayoutID id : {LayoutID::stereo, LayoutID::l714}) {
        auto m = layoutMatrix(SourceFormat::ambisonic(3, AmbiNorm::fuma), 16, layout::speakers(id));
        double firstOrder = 0;
        for (const auto& row : m) {
            for (size_t c = 4; c < 16; ++c) EXPECT_EQ(row[c], 0);
            for (size_t c = 0; c < 4; ++c) firstOrder += std::abs(row[c]);
        }
        EXPECT_GT(firstOrder, 0);
    }
    auto b = MixBuilder::binauralMatrix(SourceFormat::ambisonic(2, AmbiNorm::fuma), 9, {});
    ASSERT_EQ(b.matrix.size(), 26u);
    for (const auto& row : b.matrix)
        for (size_t c = 4; c < 9; ++c) EXPECT_EQ(row[c], 0);
}

TEST(MixBuilder, FuMaAndN3dDecodeLikeTheirSn3dEquivalent) {
    // A plane wave in each convention decodes to the same speaker gains.
    auto target = layout::speakers(LayoutID::l714);
    Vec3 v = unitVector({40, 20});
    auto y = Ambisonics::sh(1, v);  // SN3D: W Y Z X
    std::vector<double> fuma = {y[0] / std::numbers::sqrt2, y[3], y[1], y[2]};
    auto ySn3d = Ambisonics::sh(3, v);
    std::vector<double> n3d(16);
    for (size_t k = 0; k < 16; ++k) n3d[k] = ySn3d[k] * std::sqrt(2.0 * Ambisonics::channelOrder(int(k)) + 1);
    auto a = applied(layoutMatrix(SourceFormat::ambisonic(1, AmbiNorm::sn3d), 4, target), y);
    auto b = applied(layoutMatrix(SourceFormat::ambisonic(1, AmbiNorm::fuma), 4, target), fuma);
    auto c = applied(layoutMatrix(SourceFormat::ambisonic(3, AmbiNorm::sn3d), 16, target), ySn3d);
    auto d = applied(layoutMatrix(SourceFormat::ambisonic(3, AmbiNorm::n3d), 16, target), n3d);
    for (size_t r = 0; r < target.size(); ++r) {
        EXPECT_NEAR(a[r], b[r], 1e-12);
        EXPECT_NEAR(c[r], d[r], 1e-12);
    }
}

namespace {

// Every format the system offers for any channel count, plus the odd ones a
// file may still carry.
std::vector<SourceFormat> allSourceFormats() {
    std::vector<SourceFormat> formats = {speakers({S::L, S::R, S::C}),
                                         SourceFormat::ambisonic(2, AmbiNorm::fuma),
                                         SourceFormat::ambisonic(3, AmbiNorm::fuma)};
    for (int n = 1; n <= 24; ++n)
        for (const SourceFormat& f : SourceFormat::options(n)) formats.push_back(f);
    return formats;
}

int channelsOf(const SourceFormat& f) {
    if (auto* s = f.speakerList()) return static_cast<int>(s->size());
    if (auto* a = f.asAmbisonic()) return Ambisonics::channelCount(a->order);
    return f.asDiscrete()->count;
}

}  // namespace

TEST(MixBuilder, EveryFormatOnEveryOutputHasTheRightSizeAndFiniteGains) {
    std::vector<OutputProfile> profiles;
    for (LayoutID id : layout::allCases()) profiles.push_back(speakerProfile(id));
    profiles.push_back(headphones());
    for (const SourceFormat& src : allSourceFormats()) {
        const int ch = channelsOf(src);
        for (const OutputProfile& p : profiles)
            for (ListenMode listen : {ListenMode::normal, ListenMode::midSide})
                for (bool upmix : {false, true}) {
                    int device = static_cast<int>(layout::speakers(p.layout).size());
                    auto c = build(src, ch, p, device, listen, true,
                                   upmix ? std::optional(upmixOn()) : std::nullopt, Rotation{20, 10, 5});
                    std::string what = std::to_string(ch) + " ch on " + std::string(layout::rawValue(p.layout));
                    expectSane(c, what);
                    if (!c.upmix) {
                        EXPECT_EQ(c.inChannels, ch) << what;
                    }
                    if (!c.toBinaural) {
                        EXPECT_EQ(c.rows, device) << what;
                    }
                }
        auto b = MixBuilder::binauralMatrix(src, ch, {});
        EXPECT_EQ(b.matrix.size(), b.dirs.size());
        for (const auto& row : b.matrix) EXPECT_EQ(row.size(), static_cast<size_t>(ch));
    }
}

// A plane wave encoded at a speaker's direction and decoded to the layout
// puts its energy vector close to that direction. Low orders spread wide: on
// layouts with heights but no speakers below, an ear-level source leans
// upwards (about 20° at first order), and a stereo pair pulls its sides in.
// The bounds sit a few degrees above the measured worst errors, which are
// printed for the record; a wrong harmonic, sign or rotation gives tens of
// degrees more.
TEST(MixBuilder, AmbisonicEnergyVectorsPointAtTheSource) {
    const double bound[2][3] = {{14, 9, 6},     // ear-level layouts, orders 1 to 3
                                {25, 20, 13}};  // layouts with heights
    for (LayoutID id : layout::allCases()) {
        const auto& target = layout::speakers(id);
        std::vector<Direction> dirs;
        bool heights = false;
        for (SpeakerID s : target) {
            dirs.push_back(speaker::direction(s, target));
            heights = heights || dirs.back().el > 0;
        }
        for (int order = 1; order <= 3; ++order) {
            auto m = layoutMatrix(SourceFormat::ambisonic(order, AmbiNorm::sn3d), Ambisonics::channelCount(order),
                                  target);
            double worst = 0;
            for (size_t s = 0; s < target.size(); ++s) {
                if (target[s] == S::LFE) continue;
                auto y = Ambisonics::sh(order, unitVector(dirs[s]));
                worst = std::max(worst, energyDirection(applied(m, y), dirs).angle(dirs[s]));
            }
            std::printf("energy vector error, %-6s order %d: worst %.2f deg\n",
                        std::string(layout::rawValue(id)).c_str(), order, worst);
            EXPECT_LT(worst, bound[heights][order - 1]) << layout::rawValue(id) << " order " << order;
        }
    }
}

TEST(MixBuilder, YawOfNinetyDegreesMovesTheFrontToTheLeft) {
    auto front = Ambisonics::sh(3, {1, 0, 0});
    for (LayoutID id : {LayoutID::l71, LayoutID::l714, LayoutID::l916}) {
        const auto& target = layout::speakers(id);
        std::vector<Direction> dirs;
        for (SpeakerID s : target) dirs.push_back(speaker::direction(s, target));
        auto m = layoutMatrix(SourceFormat::ambisonic(3, AmbiNorm::sn3d), 16, target, Rotation{90, 0, 0});
        Direction e = energyDirection(applied(m, front), dirs);
        EXPECT_NEAR(e.az, 90, 5) << layout::rawValue(id);
        EXPECT_NEAR(e.el, 0, 5) << layout::rawValue(id);
    }
    // Through the binaural virtual sources as well.
    auto b = MixBuilder::binauralMatrix(SourceFormat::ambisonic(3, AmbiNorm::sn3d), 16, Rotation{90, 0, 0});
    Direction e = energyDirection(applied(b.matrix, front), b.dirs);
    EXPECT_NEAR(e.az, 90, 1);
    EXPECT_NEAR(e.el, 0, 1);
}

TEST(MixBuilder, RealtimeRecordCopiesTheConfiguration) {
    auto c = build(speakers({S::L, S::R}), 2, headphones(), 2, ListenMode::normal, true, upmixOn());
    int context = 0;
    auto rt = makeRealtimeMix(c, &context);
    EXPECT_EQ(rt->record.in_channels, 12);
    EXPECT_EQ(rt->record.to_binaural, 1);
    EXPECT_EQ(rt->record.upmix, &context);
    EXPECT_EQ(rt->record.upmix_offset, 0);
    EXPECT_EQ(rt->record.matrix, rt->matrix.data());
    EXPECT_EQ(rt->matrix, c.matrix);
    // Without an upmix request the context is not handed on; an empty matrix
    // still gets one element.
    MixConfig empty;
    auto rtEmpty = makeRealtimeMix(empty, &context);
    EXPECT_EQ(rtEmpty->record.upmix, nullptr);
    ASSERT_NE(rtEmpty->record.matrix, nullptr);
    EXPECT_EQ(rtEmpty->matrix.size(), 1u);
    // A matrix shorter than its declared size is padded with silence.
    MixConfig shortM;
    shortM.rows = 2;
    shortM.inChannels = 2;
    shortM.matrix = {1};
    EXPECT_EQ(makeRealtimeMix(shortM, nullptr)->matrix, (std::vector<float>{1, 0, 0, 0}));
}
