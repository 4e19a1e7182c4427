// The player's changes of what it renders, heard at a stand-in device on a
// dummy JACK server as a mastering engineer would listen: the largest
// sample-to-sample step around each change against the steps the signal
// takes by itself (support/Clicks.h). The files hold uncorrelated tones
// between 500 Hz and 2 kHz at -12 dBFS. A change during which the server
// missed a cycle is not judged (a missed cycle is a step the player did
// not make).
#include "app/player/PlayerModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/player/PlayerFixture.h"
#include "support/Clicks.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Profiles.h"

using namespace qm;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 48000;

struct Rig {
    const int channels_;
    test::JackServer server{48000, 256};
    std::unique_ptr<test::JackTestDevice> device;
    test::Player p;
    struct Change {
        std::string what;
        int64_t at;      // the recorded frame when it was asked for
        bool clean;      // no cycle was missed while it was heard
    };
    std::vector<Change> changes;

    Rig(int channels, int sourceChannels, uint32_t mask) : channels_(channels) {
        if (!server.running()) return;
        device = std::make_unique<test::JackTestDevice>("qmout", channels, int64_t(kRate) * 20);
        const auto file = p.dir / "tones.wav";
        test::writeAudioFile(file, test::tones(sourceChannels, int64_t(kRate) * 12, 0.25, kRate, 500, 2000),
                             kRate, {.bits = 32, .isFloat = true, .channelMask = mask});
        EXPECT_TRUE(p.load(file));
    }
    bool ok() const { return server.running() && device && device->ok(); }
    OutputProfile addProfile(LayoutID layout, OutputProfile::Kind kind) {
        const OutputProfile profile = test::profileInLayoutOrder(layout, kind, "jack:qmout");
        p.settings.update([&](AppSettings& s) { s.profiles.push_back(profile); });
        return profile;
    }
    // Lets `seconds` of sound reach the device.
    bool listen(double seconds) {
        const int64_t from = device->recorded();
        return p.wait([&] { return device->recorded() > from + int64_t(seconds * kRate); }, 10s);
    }
    int64_t missed() const { return p.engine.xruns() + device->cycles().missed(); }
    void change(const std::string& what, const std::function<void()>& act) {
        const int64_t before = missed();
        const int64_t at = device->recorded();
        act();
        EXPECT_TRUE(listen(0.7)) << what;
        changes.push_back({what, at, missed() == before});
    }
    // The click ratio of every change heard without a missed cycle; skips
    // when none was.
    void expectClean() {
        if (std::none_of(changes.begin(), changes.end(), [](const Change& c) { return c.clean; }))
            GTEST_SKIP() << "the server missed cycles during every change: not judged";
        test::Planar out;
        for (int c = 0; c < channels_; ++c)
            out.emplace_back(device->channel(c).begin(), device->channel(c).begin() + device->recorded());
        for (const auto& [what, at, clean] : changes) {
            if (!clean) {
                std::printf("%-40s not judged: the server missed a cycle\n", what.c_str());
                continue;
            }
            // The change reaches the render thread within a few periods; a new
            // upmix kernel settles about 55 ms; a binaural renderer may still
            // be in the making.
            const test::ClickRatio r = test::clickRatio(out, at, at + int64_t(kRate * 0.45), 9600);
            std::printf("%-40s click ratio %.3f (step %.4f on channel %d, own %.4f)\n", what.c_str(), r.ratio, r.step,
                        r.channel, r.own);
            ::testing::Test::RecordProperty(what, std::to_string(r.ratio));
            EXPECT_LE(r.ratio, 1.2) << what;
            EXPECT_GT(r.own, 0.0) << what << ": nothing played";
        }
    }
};

UpmixSettings upmix(bool on, UpmixPreset preset = UpmixPreset::music) { return test::upmixSettings(on, preset); }

}  // namespace

TEST(PlayerSwitchJack, UpmixAndBinauralOnAndOffAtTheDeviceAreClickFree) {
    Rig rig(12, 2, 0x3);
    if (!rig.ok()) GTEST_SKIP() << "jackd could not be started";
    const OutputProfile bed = rig.addProfile(LayoutID::l714, OutputProfile::Kind::speakers);
    const OutputProfile phones = rig.addProfile(LayoutID::stereo, OutputProfile::Kind::headphones);
    rig.p.model.selectProfile(bed.id);
    rig.p.model.setUpmix(upmix(false));
    rig.p.model.play(0);
    ASSERT_TRUE(rig.p.waitPlaying());
    ASSERT_TRUE(rig.listen(0.5));
    rig.change("upmix on", [&] { rig.p.model.setUpmix(upmix(true)); });
    rig.change("upmix off", [&] { rig.p.model.setUpmix(upmix(false)); });
    // To headphones on the same device: stereo straight to the ears; then
    // upmixed to 7.1.4 and rendered binaurally, and back.
    rig.change("7.1.4 speakers to headphones", [&] { rig.p.model.selectProfile(phones.id); });
    rig.change("binaural on (headphone upmix)", [&] { rig.p.model.setUpmix(upmix(true)); });
    rig.change("binaural off", [&] { rig.p.model.setUpmix(upmix(false)); });
    rig.p.model.stop();
    rig.expectClean();
}
