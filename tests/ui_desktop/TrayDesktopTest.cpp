// The tray icon in a real system tray (tint2's, on the private desktop):
// the icon is embedded, a click on it opens the status menu, whose items
// open windows and quit.
#include <QAction>
#include <QApplication>
#include <QSystemTrayIcon>
#include <QWindow>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "app/editor/EditorModel.h"
#include "app/shell/AppFakes.h"
#include "support/DesktopSession.h"
#include "support/TempDir.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/AppShell.h"
#include "ui/shell/WindowRegistry.h"

using namespace qm;

namespace {

test::DesktopSession& session() { return test::sharedDesktopSession(); }

bool pump(const std::function<bool()>& condition, double seconds) {
    return test::waitUntil(condition, seconds, [] { QApplication::processEvents(QEventLoop::AllEvents, 20); });
}

bool click(const QPoint& at, int button = 1) {
    const auto pump = [] { QApplication::processEvents(QEventLoop::AllEvents, 20); };
    return session().xdotool({"mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y())}, pump) &&
           session().xdotool({"click", std::to_string(button)}, pump);
}

}  // namespace

TEST(TrayDesktop, TheIconSitsInTheTrayAndItsMenuOpensWindowsAndQuits) {
    ASSERT_TRUE(session().ok()) << session().failure();
    test::TempDir dir;
    const auto rc = dir / "tint2rc";
    {
        std::ofstream(rc) << "panel_items = S\npanel_size = 100% 32\npanel_position = bottom center horizontal\n"
                             "systray_icon_size = 24\n";
    }
    const pid_t tint2 = session().spawn({"tint2", "-c", rc.string()});
    ASSERT_GT(tint2, 0);
    ASSERT_TRUE(pump([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10)) << "no tray";

    test::FakePieces pieces;
    auto app = std::make_unique<AppModel>(pieces.platform(dir.path()));
    int quits = 0;
    MenuHooks hooks;
    hooks.quit = [&] { ++quits; };
    auto shell = std::make_unique<AppShell>(*app, hooks);
    ASSERT_NE(shell->tray(), nullptr);
    // Embedded: inside the panel at the bottom of the screen.
    ASSERT_TRUE(pump([&] { return shell->tray()->geometry().top() > session().screenHeight() / 2; }, 10))
        << "the icon was not embedded";

    StatusMenu& menu = shell->statusMenu();
    const auto itemCentre = [&](QAction* action) { return menu.mapToGlobal(menu.actionGeometry(action).center()); };

    const QRect icon = shell->tray()->geometry();
    ASSERT_TRUE(click(icon.center()));
    ASSERT_TRUE(pump([&] { return menu.isVisible(); }, 10))
        << "a click did not open the menu; icon at " << icon.x() << "," << icon.y() << " " << icon.width() << "x"
        << icon.height();
    ASSERT_TRUE(click(itemCentre(menu.showEditor)));
    EXPECT_TRUE(pump(
        [&] {
            QWidget* editor = shell->windows().window("editor");
            return editor && editor->isVisible() && editor->windowHandle() && editor->windowHandle()->isExposed();
        },
        10))
        << "\"Show Editor\" did not map the editor";

    ASSERT_TRUE(click(shell->tray()->geometry().center()));
    ASSERT_TRUE(pump([&] { return menu.isVisible(); }, 10));
    ASSERT_TRUE(click(itemCentre(menu.quitItem)));
    EXPECT_TRUE(pump([&] { return quits == 1; }, 10)) << "\"Quit Quillmarsh\" did not ask to quit";

    app->editor().stop();
    shell.reset();
    app.reset();
    session().stop(tint2);
}
