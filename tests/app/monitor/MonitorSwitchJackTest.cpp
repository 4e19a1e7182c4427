// The monitor's changes of what it renders, heard at a stand-in output on a
// dummy JACK server: the largest sample-to-sample step around each change
// against the steps the bus takes by itself (support/Clicks.h). The
// workstation plays uncorrelated tones between 500 Hz and 2 kHz at
// -12 dBFS. A change during which the server missed a cycle is not judged.
#include "app/monitor/MonitorEngine.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "app/CountingDefaults.h"
#include "support/Clicks.h"
#include "support/DesktopSession.h"
#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Profiles.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"

using namespace qm;

TEST(MonitorSwitchJack, UpmixPresetAndProfileChangesOnOneDeviceAreClickFreeAndKeepTheStream) {
    test::JackServer server(48000, 256, 2, 2, 256);
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    auto engine = std::make_unique<MonitorEngine>(settings, std::make_shared<test::CountingDefaults>(dir / "d.ini"),
                                                  queue);
    test::JackTestSource daw("Workstation", test::tones(2, 20 * 48000, 0.25, 48000, 500, 2000));
    test::JackTestDevice speakers("Speakers", 16, 12 * 48000);
    auto wait = [&](const std::function<bool()>& done) {
        return test::waitUntil(done, 10.0 * test::kTimeFactor, [&] {
            queue.runDue();
            QCoreApplication::processEvents();
        });
    };
    auto listen = [&](double seconds) {
        const int64_t from = speakers.recorded();
        return wait([&] { return speakers.recorded() > from + int64_t(seconds * 48000); });
    };
    const OutputProfile bed = test::profileInLayoutOrder(LayoutID::l916, OutputProfile::Kind::speakers, "jack:Speakers");
    const OutputProfile smaller = test::profileInLayoutOrder(LayoutID::l714, OutputProfile::Kind::speakers,
                                                             "jack:Speakers");
    settings.update([&](AppSettings& s) {
        s.profiles.push_back(bed);
        s.profiles.push_back(smaller);
    });
    engine->setProfileID(bed.id);
    MonitorState state = engine->state();
    state.source = MonitorSource::stereo;
    engine->setState(state);
    engine->setSourceUID(QString("jack:Workstation"));
    engine->start();
    ASSERT_TRUE(engine->running()) << engine->message().value_or("").toStdString();
    const AudioDuplex* stream = engine->stream();
    ASSERT_TRUE(listen(0.5));

    // What changed, at which recorded frame, and whether it was heard
    // without a missed cycle (only those are judged).
    std::vector<std::tuple<std::string, int64_t, bool>> changes;
    auto missed = [&] { return engine->stream()->xruns() + daw.cycles().missed() + speakers.cycles().missed(); };
    auto change = [&](const std::string& what, const std::function<void()>& act) {
        const int64_t before = missed();
        const int64_t at = speakers.recorded();
        act();
        EXPECT_TRUE(listen(0.7)) << what;
        changes.emplace_back(what, at, missed() == before);
    };
    auto edit = [&](const std::function<void(MonitorState&)>& f) {
        MonitorState s = engine->state();
        f(s);
        engine->setState(s);
    };
    change("upmix on", [&] { edit([](MonitorState& s) { s.upmix.enabled = true; }); });
    change("preset music to hall", [&] {
        edit([](MonitorState& s) {
            s.upmix.preset = UpmixPreset::hall;
            s.upmix.params = upmixPreset::params(UpmixPreset::hall);
        });
    });
    change("9.1.6 to 7.1.4 on the same device", [&] { engine->setProfileID(smaller.id); });
    EXPECT_EQ(engine->stream(), stream) << "another profile on the same device keeps the stream";
    EXPECT_TRUE(engine->running());
    change("upmix off", [&] { edit([](MonitorState& s) { s.upmix.enabled = false; }); });
    engine->stop();

    test::Planar out;
    for (int c = 0; c < 16; ++c) out.emplace_back(speakers.channel(c).begin(), speakers.channel(c).begin() + speakers.recorded());
    int judged = 0;
    for (const auto& [what, at, clean] : changes) {
        if (!clean) {
            std::printf("%-36s not judged: the server missed a cycle\n", what.c_str());
            continue;
        }
        ++judged;
        const test::ClickRatio r = test::clickRatio(out, at, at + 21600, 9600);
        std::printf("%-36s click ratio %.3f (step %.4f on channel %d, own %.4f)\n", what.c_str(), r.ratio, r.step,
                    r.channel, r.own);
        RecordProperty(what, std::to_string(r.ratio));
        EXPECT_LE(r.ratio, 1.2) << what;
    }
    engine.reset();
    queue.advance(100);
    if (judged == 0) GTEST_SKIP() << "the server missed cycles during every change: not judged";
}
