// A plug-in's own X11 window embedded in the insert's window, on a private
// X server: a click in it (XTest, through xdotool) changes the gain the
// monitor plays with. The view tests run offscreen, so the test runs its
// own program again on the X server as a child, with the xcb platform.
// Named "Jack": it runs a dummy sound server of its own.
#include "ui/monitor/InsertPanel.h"

#include <QApplication>
#include <QSlider>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "support/JackServer.h"
#include "support/JackTestDevice.h"
#include "support/Lv2Plugins.h"
#include "ui/UiTestSupport.h"
#include "ui/monitor/X11Child.h"

using namespace qm;

namespace {

constexpr const char* childMark = "QM_EMBEDDED_WINDOW_CHILD";

void runOnX11() {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    test::useTestPlugins();
    test::JackServer server(48000, 256, 2, 2, 256);
    if (!server.running()) GTEST_SKIP() << "jackd could not be started";
    std::vector<std::vector<float>> signal(2, std::vector<float>(48000));
    for (size_t c = 0; c < 2; ++c)
        for (size_t t = 0; t < signal[c].size(); ++t) signal[c][t] = 0.2f * std::sin(0.02f * float(t * (c + 1)));
    test::JackTestSource daw("Workstation", signal, true);
    test::JackTestDevice speakers("Speakers", 2, 30 * 48000);

    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    MonitorEngine engine(settings, std::make_shared<UserDefaults>(QString::fromStdString((dir / "d.ini").string())),
                         queue);
    installInsertWindows(engine);
    OutputProfile p = OutputProfile::defaults().front();
    p.id = Uuid::random();
    p.kind = OutputProfile::Kind::speakers;
    p.deviceUID = "jack:Speakers";
    p.layout = LayoutID::stereo;
    p.outputs = {0, 1};
    p.trimsDB = {0.0, 0.0};
    settings.update([&](AppSettings& s) { s.profiles.push_back(p); });
    engine.setProfileID(p.id);
    MonitorState state = engine.state();
    state.source = MonitorSource::stereo;
    engine.setState(state);
    engine.setSourceUID(QString("jack:Workstation"));
    engine.addInsert(*Lv2Host::find("urn:quillmarsh:test:gain"));
    const auto insert = engine.inserts().at(0);
    engine.start();
    ASSERT_TRUE(engine.running()) << engine.message().value_or("").toStdString();

    engine.showUI(insert.id);
    QWidget* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "insertWindow") window = w;
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->findChild<QSlider*>()) << "the generic panel, not the plug-in's window";
    EXPECT_EQ(window->size(), QSize(160, 80));
    ASSERT_TRUE(test::waitFor([&] { return window->isVisible(); }, &queue));
    test::waitFor([] { return false; }, &queue, std::chrono::milliseconds(500));  // mapped and placed

    auto gainBefore = [&](int64_t from) {
        // Output over input at the loudest source frame after `from`.
        double best = 0, ratio = 0;
        for (int64_t r = from; r < speakers.recorded(); ++r) {
            const int64_t at = daw.cycles().positionAt(speakers.cycles().frameTimeOf(r));
            if (at < 0) continue;
            const double in = daw.sample(0, at);
            if (std::abs(in) > best) {
                best = std::abs(in);
                ratio = speakers.channel(0)[size_t(r)] / in;
            }
        }
        return ratio;
    };
    int64_t from = speakers.recorded() + 8192;
    ASSERT_TRUE(test::waitFor([&] { return speakers.recorded() > from + 4800; }, &queue));
    EXPECT_NEAR(gainBefore(from), 1.0, 1e-6);

    const std::string id = std::to_string(window->winId());
    ASSERT_EQ(std::system(("xdotool mousemove --window " + id + " 80 40 click 1").c_str()), 0);
    ASSERT_TRUE(test::waitFor([&] { return insert.unit->control(0) == 3.0f; }, &queue));
    from = speakers.recorded() + 8192;
    ASSERT_TRUE(test::waitFor([&] { return speakers.recorded() > from + 4800; }, &queue));
    EXPECT_NEAR(gainBefore(from), 3.0, 1e-5);
    engine.removeInsert(insert.id);
    engine.stop();
}

}  // namespace

TEST(InsertWindowJack, AClickInThePluginsOwnWindowChangesWhatPlays) {
    if (test::isX11Child(childMark)) {
        runOnX11();
        return;
    }
    test::runInX11Child(childMark);
}
