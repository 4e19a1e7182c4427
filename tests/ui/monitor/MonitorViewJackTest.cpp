// The monitor window live, on a dummy server of its own with a stand-in
// workstation and stand-in speakers: the source chosen and Start clicked in
// the window, then a click on a speaker (only its channel arrives, from the
// next period on), Mute (silence), Dim (exactly -20 dB) and Stop. Run
// serially (the name holds "Jack").
#include "ui/monitor/MonitorView.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>

#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "ui/UiTestSupport.h"
#include "ui/monitor/MonitorFixture.h"
#include "ui/monitor/MonitorLive.h"
#include "ui/monitor/SpeakerMap.h"

using namespace qm;

namespace {

std::vector<std::vector<float>> sines() {
    std::vector<std::vector<float>> s(2, std::vector<float>(48000));
    for (size_t c = 0; c < 2; ++c)
        for (size_t t = 0; t < s[c].size(); ++t)
            s[c][t] = static_cast<float>((0.3 + 0.1 * double(c)) * std::sin(2 * std::numbers::pi * 1000.0 * double(t) / 48000.0));
    return s;
}

// Over the last `frames` recorded frames: the largest distance of each
// channel from `gain` times what the source played at the same instant.
double worst(const test::JackTestDevice& out, const test::JackTestSource& in, double gain, int frames) {
    double w = 0;
    for (int64_t r = out.recorded() - frames; r < out.recorded(); ++r) {
        const int64_t p = in.cycles().positionAt(out.cycles().frameTimeOf(r));
        if (p < 0) return 1e9;
        for (int c = 0; c < 2; ++c) w = std::max(w, std::abs(double(out.channel(c)[size_t(r)]) - gain * in.sample(c, p)));
    }
    return w;
}

// Cycles lost to a busy machine: the server's xruns and the cycles the
// stand-ins were not run in. Sample-exact checks hold only without them.
int64_t lost(const MonitorEngine& e, const test::JackStandIn& in, const test::JackStandIn& out) {
    return (e.stream() ? e.stream()->xruns() : 0) + in.cycles().missed() + out.cycles().missed();
}

}  // namespace

TEST(MonitorViewJack, StartASpeakerClickMuteDimAndStopFromTheWindow) {
    constexpr int period = 256;
    test::JackServer server(48000, period, 2, 2, 256);
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    test::JackTestSource daw("Workstation", sines(), true);
    test::JackTestDevice speakers("Speakers", 2, 30 * 48000);
    test::MonitorFixture f;
    f.useProfile(LayoutID::stereo, OutputProfile::Kind::speakers, "jack:Speakers");
    f.edit([](MonitorState& s) { s.source = MonitorSource::stereo; });

    MonitorView view(*f.engine, f.settings);
    view.resize(720, 640);
    view.show();
    // The devices are read in the background as the window opens.
    ASSERT_TRUE(test::waitFor([&] { return view.listsRead(); }, &f.queue));
    auto* source = view.findChild<QComboBox*>("source");
    const int index = source->findData(QString("jack:Workstation"));
    ASSERT_GT(index, 0);
    source->setFocus();
    for (int i = 0; i < index; ++i) QTest::keyClick(source, Qt::Key_Down);
    EXPECT_EQ(f.engine->sourceUID(), QString("jack:Workstation"));

    auto* start = view.findChild<QPushButton*>("startStop");
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([&] { return f.engine->running(); }, &f.queue)) << f.engine->message()->toStdString();
    EXPECT_EQ(start->text(), "Stop");
    int64_t from = speakers.recorded();
    ASSERT_TRUE(test::waitFor([&] { return speakers.recorded() > from + 9600; }, &f.queue));
    if (lost(*f.engine, daw, speakers) == 0) {
        EXPECT_LT(worst(speakers, daw, 1.0, 4800), 1e-6) << "both channels arrive whole";
    }

    // Solo L: R leaves the source in the first cycle the engine could see it.
    SpeakerMap* map = view.speakerMap();
    from = speakers.recorded();
    const int64_t before = speakers.frameTime();
    QTest::mouseClick(map->button(SpeakerID::L), Qt::LeftButton);
    const int64_t after = speakers.frameTime();
    ASSERT_TRUE(test::waitFor([&] { return speakers.recorded() > from + 9600; }, &f.queue));
    const int64_t changed =
        test::changeCycleTime(speakers, daw, 1, from, [&](int64_t p) { return daw.sample(1, p); });
    ASSERT_GE(changed, 0);
    const int64_t periods = test::periodsAfter(before, changed, period);
    std::printf("speaker click to output: %lld period(s) (click within %lld frames)\n",
                static_cast<long long>(periods), static_cast<long long>(after - before));
    // The matrix was published when the click returned: the first cycle
    // starting after that carries it (a few frames for the clock's estimate),
    // and none before the click. A cycle the stand-in workstation missed
    // plays silence, which reads as a change wherever it falls: both bounds
    // hold only without lost cycles.
    if (lost(*f.engine, daw, speakers) == 0) {
        EXPECT_LE(changed, after + period + 16);
        EXPECT_GE(changed, before - period);
    }
    // After the one-period crossfade: L whole, R silent.
    double off = 0;
    for (int64_t r = speakers.recorded() - 4800; r < speakers.recorded(); ++r) {
        const int64_t p = daw.cycles().positionAt(speakers.cycles().frameTimeOf(r));
        off = std::max({off, std::abs(double(speakers.channel(0)[size_t(r)]) - daw.sample(0, p)),
                        std::abs(double(speakers.channel(1)[size_t(r)]))});
    }
    if (lost(*f.engine, daw, speakers) == 0) {
        EXPECT_LT(off, 1e-6);
    }

    QTest::mouseClick(map->button(SpeakerID::R), Qt::LeftButton, Qt::AltModifier);
    EXPECT_EQ(f.engine->state().muted, std::set<SpeakerID>{SpeakerID::R});
    test::savePng(view, "monitor-view-running-solo-mute");

    QTest::mouseClick(view.findChild<QPushButton*>("clearSolos"), Qt::LeftButton);
    QTest::mouseClick(view.findChild<QToolButton*>("mute"), Qt::LeftButton);
    from = speakers.recorded();
    ASSERT_TRUE(test::waitFor([&] { return speakers.recorded() > from + 9600; }, &f.queue));
    EXPECT_EQ(worst(speakers, daw, 0.0, 4800), 0.0) << "Mute: silence";

    QTest::mouseClick(view.findChild<QToolButton*>("mute"), Qt::LeftButton);
    QTest::mouseClick(view.findChild<QToolButton*>("dim"), Qt::LeftButton);
    from = speakers.recorded();
    ASSERT_TRUE(test::waitFor([&] { return speakers.recorded() > from + 9600; }, &f.queue));
    if (lost(*f.engine, daw, speakers) == 0) {
        EXPECT_LT(worst(speakers, daw, 0.1, 4800), 1e-6) << "Dim: -20 dB";
    }
    std::printf("%lld cycles lost to the machine's load\n", static_cast<long long>(lost(*f.engine, daw, speakers)));

    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_FALSE(f.engine->running());
    EXPECT_EQ(start->text(), "Start");
}
