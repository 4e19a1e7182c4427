#include "audio/FormatDetector.h"

#include <gtest/gtest.h>

#include "support/AudioPrinters.h"

using namespace qm;
using S = SpeakerID;
using F = SourceFormat;

namespace {
SourceFormat detect(const char* name, int n, std::vector<uint32_t> labels = {}, uint32_t tag = 0) {
    return FormatDetector::detect(std::filesystem::path("/lib/sfx") / name, n, labels, tag);
}
}  // namespace

TEST(FormatDetector, AmbisonicsFromTagsAndLabels) {
    EXPECT_EQ(detect("ambix_take.wav", 4, {}, 0x6B0004), F::ambisonic(1, AmbiNorm::fuma));
    EXPECT_EQ(detect("x.wav", 16, {}, (191u << 16) | 16), F::ambisonic(3, AmbiNorm::n3d));
    EXPECT_EQ(detect("x.wav", 9, {}, (190u << 16) | 9), F::ambisonic(2, AmbiNorm::sn3d));
    EXPECT_EQ(detect("x.wav", 4, {0x20000, 0x20001, 0x20002, 0x20003}), F::ambisonic(1, AmbiNorm::sn3d));
    EXPECT_EQ(detect("x.wav", 4, {0x30000, 0x30001, 0x30002, 0x30003}), F::ambisonic(1, AmbiNorm::n3d));
    EXPECT_EQ(detect("x.wav", 4, {203, 200, 202, 201}), F::ambisonic(1, AmbiNorm::fuma));
    // The B-format tag decides only for four channels; HOA tags only for 4, 9, 16.
    EXPECT_EQ(detect("x.wav", 6, {}, 0x6B0004), F::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(detect("x.wav", 8, {}, (190u << 16) | 8), F::speakers(layout::speakers(LayoutID::l71)));
    // Mixed kinds of labels are no Ambisonics.
    EXPECT_EQ(detect("x.wav", 4, {0x20000, 0x30001, 0x20002, 0x20003}),
              F::speakers({S::L, S::R, S::Ls, S::Rs}));
}

TEST(FormatDetector, AmbisonicsFromFileNames) {
    EXPECT_EQ(detect("Forest ambix.wav", 4), F::ambisonic(1, AmbiNorm::sn3d));
    EXPECT_EQ(detect("sound_foa_n3d.wav", 4), F::ambisonic(1, AmbiNorm::n3d));
    EXPECT_EQ(detect("hoa_sn3d.wav", 4), F::ambisonic(1, AmbiNorm::sn3d));
    EXPECT_EQ(detect("room_foa.wav", 9), F::ambisonic(2, AmbiNorm::sn3d));
    EXPECT_EQ(detect("Rain.AMB", 4), F::ambisonic(1, AmbiNorm::fuma));
    EXPECT_EQ(detect("rain_FuMa_ambix.wav", 4), F::ambisonic(1, AmbiNorm::fuma));
    EXPECT_EQ(detect("rain.amb", 9), F::ambisonic(2, AmbiNorm::sn3d));
    EXPECT_EQ(detect("rain.amb", 16), F::speakers(layout::speakers(LayoutID::l916)));
    EXPECT_EQ(detect("SoundField City.wav", 16), F::ambisonic(3, AmbiNorm::sn3d));
    EXPECT_EQ(detect("city hoa n3d.wav", 16), F::ambisonic(3, AmbiNorm::n3d));
    // Keywords need their underscore or blank; the extension is not part of the name.
    EXPECT_EQ(detect("foam.wav", 4), F::speakers({S::L, S::R, S::Ls, S::Rs}));
    EXPECT_EQ(detect("take.ambix", 4), F::speakers({S::L, S::R, S::Ls, S::Rs}));
    // Names say nothing for other channel counts.
    EXPECT_EQ(detect("stereo_foa.wav", 2), F::speakers({S::L, S::R}));
    EXPECT_EQ(detect("bed_ambix.wav", 6), F::speakers(layout::speakers(LayoutID::l51)));
}

TEST(FormatDetector, SpeakersFromLabelsAndFallbacks) {
    EXPECT_EQ(detect("x.wav", 2, {200, 201}), F::speakers({S::L, S::R}));
    EXPECT_EQ(detect("x.wav", 1, {1}), F::speakers({S::C}));
    EXPECT_EQ(detect("x.wav", 6, {1, 2, 3, 4, 5, 6}), F::speakers({S::L, S::R, S::C, S::LFE, S::Ls, S::Rs}));
    EXPECT_EQ(detect("x.wav", 8, {1, 2, 3, 4, 5, 6, 10, 11}),
              F::speakers({S::L, S::R, S::C, S::LFE, S::Lrs, S::Rrs, S::Ls, S::Rs}));
    EXPECT_EQ(detect("x.wav", 6, {1, 3, 2, 5, 6, 4}), F::speakers(*layout::filmOrder(LayoutID::l51)));
    EXPECT_EQ(detect("x.wav", 6, {1, 2, 3, 4, 5, 0}), F::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(detect("x.wav", 6, {1, 2, 3, 4, 5, 65}), F::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(detect("x.wav", 6, {1, 2, 3, 3, 5, 6}), F::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(detect("x.wav", 6, {1, 2, 3, 4, 5}), F::speakers(layout::speakers(LayoutID::l51)));
    EXPECT_EQ(detect("x.wav", 3, {1, 2, 3}), F::speakers({S::L, S::R, S::C}));
    EXPECT_EQ(detect("x.wav", 3), F::discrete(3));
    EXPECT_EQ(detect("x.wav", 10), F::speakers(layout::speakers(LayoutID::l712)));
    EXPECT_EQ(detect("x.wav", 0), F::discrete(0));
}

TEST(ChannelLabels, SpeakerMapping) {
    using CL = std::vector<uint32_t>;
    auto sp = [](CL l) { return ChannelLabels::speakers(l); };
    // The labels a 9.1.6 file would carry.
    EXPECT_EQ(sp({1, 2, 3, 4, 10, 11, 33, 34, 35, 36, 13, 15, 49, 51, 16, 18}),
              layout::speakers(LayoutID::l916));
    // 5/6 become the rear pair when side labels are present.
    EXPECT_EQ(sp({5, 11}), (std::vector<S>{S::Lrs, S::Rs}));
    EXPECT_EQ(sp({5, 6}), (std::vector<S>{S::Ls, S::Rs}));
    EXPECT_EQ(sp({5, 10}), (std::vector<S>{S::Lrs, S::Ls}));
    EXPECT_EQ(sp({10, 55}), std::nullopt);  // two labels for one speaker
    EXPECT_EQ(sp({5, 55, 10}), std::nullopt);
    EXPECT_EQ(sp({14}), std::nullopt);     // vertical height centre has no speaker
    EXPECT_EQ(sp({200}), std::nullopt);
    EXPECT_EQ(sp({}), std::vector<S>{});
}

TEST(ChannelLabels, LabelsOfLayouts) {
    EXPECT_TRUE(ChannelLabels::labels(std::nullopt).empty());
    EXPECT_EQ(ChannelLabels::labels(ChannelLayout{0, {1, 2, 3}}), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(ChannelLabels::labels(ChannelLayout{0x6B0004, {200, 201, 202, 203}}),
              (std::vector<uint32_t>{200, 201, 202, 203}));
    EXPECT_TRUE(ChannelLabels::labels(ChannelLayout{(147u << 16) | 2, {1, 2}}).empty());
    EXPECT_TRUE(ChannelLabels::labels(ChannelLayout{(190u << 16) | 4, {}}).empty());
    EXPECT_TRUE(ChannelLabels::labels(ChannelLayout{(191u << 16) | 9, {}}).empty());
}
