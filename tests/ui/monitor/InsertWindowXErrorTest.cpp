// A plug-in's own X11 window that causes an X error (the test bundle's
// "xerror" UI destroys a window that does not exist at its fifth idle call)
// on the tests' private X server: the window closes, the monitor's message
// says why, and the program goes on; the next "Open" makes a new window.
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

QWidget* shownInsertWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "insertWindow" && w->isVisible()) return w;
    return nullptr;
}

void runOnX11() {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    test::useTestPlugins();
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    MonitorEngine engine(settings, std::make_shared<UserDefaults>(QString::fromStdString((dir / "d.ini").string())),
                         queue);
    installInsertWindows(engine);
    engine.addInsert(*Lv2Host::find("urn:quillmarsh:test:xerror"));
    const auto insert = engine.inserts().at(0);

    engine.showUI(insert.id);
    ASSERT_TRUE(engine.window(insert.id));
    QWidget* window = shownInsertWindow();
    ASSERT_TRUE(window);
    EXPECT_FALSE(window->findChild<QSlider*>()) << "the generic panel, not the plug-in's window";
    ASSERT_TRUE(test::waitFor([&] { return !engine.window(insert.id); }, &queue));
    EXPECT_EQ(engine.message().value_or(""), "Quillmarsh Tests: X Error's window failed and was closed");
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
        runOnX11();
        return;
    }
    test::runInX11Child(childMark);
}
