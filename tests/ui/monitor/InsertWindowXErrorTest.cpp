// A plug-in's own X11 window that causes an X error on the tests' private X
// server: the test bundle's "xerror" UI destroys a window that does not
// exist at its fifth idle call, "xerror-later" from a thread and connection
// of its own, between our calls into it (where Xlib's own handler would end
// the process). The window closes, the monitor's message says why, and the
// program goes on; the next "Open" makes a new window.
// The view tests run offscreen, so the test runs its own program again on
// the X server as a child, with the xcb platform. Named "Desktop": it runs
// one at a time.
#include "ui/monitor/InsertPanel.h"

#include <QApplication>
#include <QSlider>

#include <gtest/gtest.h>


#include "support/Lv2Plugins.h"
#include "ui/UiTestSupport.h"
#include "ui/monitor/X11Child.h"

using namespace qm;

namespace {

constexpr const char* childMark = "QM_XERROR_WINDOW_CHILD";
constexpr const char* laterChildMark = "QM_XERROR_LATER_WINDOW_CHILD";

QWidget* shownInsertWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "insertWindow" && w->isVisible()) return w;
    return nullptr;
}

void runOnX11(const char* uri, const char* name) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    test::useTestPlugins();
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    MonitorEngine engine(settings, std::make_shared<UserDefaults>(QString::fromStdString((dir / "d.ini").string())),
                         queue);
    installInsertWindows(engine);
    engine.addInsert(*Lv2Host::find(uri));
    const auto insert = engine.inserts().at(0);

    engine.showUI(insert.id);
    ASSERT_TRUE(engine.window(insert.id));
    QWidget* window = shownInsertWindow();
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->findChild<QSlider*>()) << "the generic panel, not the plug-in's window";
    ASSERT_TRUE(test::waitFor([&] { return !engine.window(insert.id); }, &queue));
    EXPECT_EQ(engine.message().value_or(""), QString("Quillmarsh Tests: %1's window failed and was closed").arg(name));
    EXPECT_FALSE(shownInsertWindow());

    // Still running: "Open" makes the window again.
    engine.showUI(insert.id);
    EXPECT_TRUE(engine.window(insert.id));
    ASSERT_TRUE(test::waitFor([&] { return !engine.window(insert.id); }, &queue));
    engine.removeInsert(insert.id);
}

}  // namespace

TEST(InsertWindowDesktop, AnXErrorOfThePluginsWindowClosesItWithAMessage) {
    if (test::isX11Child(childMark)) {
        runOnX11("urn:quillmarsh:test:xerror", "X Error");
        return;
    }
    test::runInX11Child(childMark);
}

TEST(InsertWindowDesktop, AnXErrorRaisedBetweenTheCallsIntoThePluginsWindowClosesIt) {
    if (test::isX11Child(laterChildMark)) {
        runOnX11("urn:quillmarsh:test:xerror-later", "X Error Later");
        return;
    }
    test::runInX11Child(laterChildMark);
}
