// Every change of what the render path does, heard as a mastering engineer
// would: the largest sample-to-sample step around the change against the
// steps the signal takes by itself (support/Clicks.h), at a 256-frame
// period. The source is uncorrelated tones between 500 Hz and 2 kHz at
// -12 dBFS, whose own steps a one-period crossfade cannot double; a switch
// heard as a click measures many times that.
#include "RenderRig.h"

#include "spatial/MixBuilder.h"
#include "support/Clicks.h"
#include "support/Profiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace qm;
using S = SpeakerID;

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kPeriod = 256;
constexpr int64_t kSecond = 48000;
// From a change's publication until every path has moved over: a new upmix
// kernel settles (about 2,600 frames), the crossfade, the binaural tail.
constexpr int64_t kAround = 12000;

UpmixSettings upmix(bool on, UpmixPreset preset = UpmixPreset::music) { return test::upmixSettings(on, preset); }

MixConfig mix(const SourceFormat& source, int channels, const OutputProfile& profile, int device,
              std::optional<UpmixSettings> u = std::nullopt) {
    return MixBuilder::config(source, channels, profile, device, ListenMode::normal, Rotation{}, false, u);
}

// Plays `configs` one after the other, a second each, and returns the click
// ratio of each change.
std::vector<test::ClickRatio> switches(test::RenderRig& rig, const std::vector<MixConfig>& configs) {
    std::vector<test::ClickRatio> ratios;
    for (size_t i = 0; i < configs.size(); ++i) {
        const int64_t at = rig.rendered();
        rig.set(configs[i]);
        rig.run(kSecond, kPeriod);
        if (i > 0) ratios.push_back(test::clickRatio(rig.out, at, at + kAround, 9600));
    }
    return ratios;
}

void expectClean(const std::vector<test::ClickRatio>& ratios, const std::vector<std::string>& names) {
    for (size_t i = 0; i < ratios.size(); ++i) {
        std::printf("%-36s click ratio %.3f (step %.4f on channel %d at %lld, own %.4f)\n", names[i].c_str(),
                    ratios[i].ratio, ratios[i].step, ratios[i].channel, static_cast<long long>(ratios[i].frame),
                    ratios[i].own);
        EXPECT_LE(ratios[i].ratio, 1.2) << names[i];
        EXPECT_GT(ratios[i].own, 0.0) << names[i] << ": nothing played";
    }
}

}  // namespace

TEST(RenderSwitch, UpmixOnOffAndPresetChangesOnSpeakersCrossfade) {
    const auto stereo = SourceFormat::speakers({S::L, S::R});
    const auto profile = test::profileInLayoutOrder(LayoutID::l714, OutputProfile::Kind::speakers, "dev");
    test::RenderRig rig(test::tones(2, 4 * kSecond, 0.25, kRate, 500, 2000), 12);
    expectClean(switches(rig, {mix(stereo, 2, profile, 12, upmix(false)), mix(stereo, 2, profile, 12, upmix(true)),
                               mix(stereo, 2, profile, 12, upmix(true, UpmixPreset::film)),
                               mix(stereo, 2, profile, 12, upmix(true, UpmixPreset::hall)),
                               mix(stereo, 2, profile, 12, upmix(false))}),
                {"upmix on", "preset music to film", "preset film to hall", "upmix off"});
}

TEST(RenderSwitch, BinauralOnOffAndHeadphoneUpmixCrossfade) {
    const auto bed = SourceFormat::speakers(layout::speakers(LayoutID::l51));
    const auto speakers = test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::speakers, "dev");
    auto headphones = test::profileInLayoutOrder(LayoutID::stereo, OutputProfile::Kind::headphones, "dev");
    headphones.headphoneLeft = 0;
    headphones.headphoneRight = 1;
    {
        test::RenderRig rig(test::tones(6, 4 * kSecond, 0.25, kRate, 500, 2000), 2);
        expectClean(switches(rig, {mix(bed, 6, speakers, 2), mix(bed, 6, headphones, 2), mix(bed, 6, speakers, 2),
                                   mix(bed, 6, headphones, 2)}),
                    {"5.1 speakers to headphones", "5.1 headphones to speakers", "5.1 speakers to headphones again"});
    }
    const auto stereo = SourceFormat::speakers({S::L, S::R});
    test::RenderRig rig(test::tones(2, 4 * kSecond, 0.25, kRate, 500, 2000), 2);
    expectClean(switches(rig, {mix(stereo, 2, headphones, 2, upmix(false)), mix(stereo, 2, headphones, 2, upmix(true)),
                               mix(stereo, 2, headphones, 2, upmix(false))}),
                {"headphone upmix on (binaural on)", "headphone upmix off (binaural off)"});
}

// Playback that starts with the upmix on fades in like any other: the
// kernel hears its input fade in, so its output begins without a step.
TEST(RenderSwitch, AStartWithTheUpmixOnFadesIn) {
    const auto stereo = SourceFormat::speakers({S::L, S::R});
    const auto profile = test::profileInLayoutOrder(LayoutID::l714, OutputProfile::Kind::speakers, "dev");
    test::RenderRig rig(test::tones(2, 4 * kSecond, 0.25, kRate, 500, 2000), 12);
    rig.set(mix(stereo, 2, profile, 12, upmix(true)));
    rig.run(kSecond, kPeriod);
    expectClean({test::clickRatio(rig.out, 0, kAround, 9600)}, {"start with the upmix on"});
}
