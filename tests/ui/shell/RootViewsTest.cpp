// The views' part of the composition root under the offscreen platform: the
// floating panel with the player in it, whose editor button goes through
// the root's window opener; the folder dialog; the workspace bringing the
// window used last forward; an insert's window opened through the
// application's own set-up.
#include "ui/shell/RootViews.h"

#include <QApplication>
#include <QLineEdit>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "app/editor/EditorModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "support/AudioFiles.h"
#include "support/Lv2Plugins.h"
#include "support/TempDir.h"
#include "ui/UiTestSupport.h"
#include "ui/shell/FolderDialog.h"
#include "ui/shell/HUDController.h"
#include "ui/shell/HUDPanel.h"

using namespace qm;

TEST(RootViews, ThePanelHostsThePlayerWhoseEditorButtonOpensTheEditorThroughTheRoot) {
    test::TempDir dir;
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    rootViews::complete(platform);
    EXPECT_NE(dynamic_cast<FolderDialog*>(platform.folders.get()), nullptr);
    AppModel app(std::move(platform));
    std::vector<QString> opened;
    app.openWindowAction = [&](const QString& id) { opened.push_back(id); };
    app.start();
    auto* hud = dynamic_cast<HUDController*>(app.hud());
    ASSERT_NE(hud, nullptr);

    test::writeTestFile(dir / "a.wav", 2, 48000, 48000, {test::FileKind::wav, 16});
    app.player().load(dir / "a.wav", false);
    ASSERT_TRUE(test::waitFor([&] { return app.player().info().has_value(); }));
    auto* editor = hud->panel().findChild<QToolButton*>(QStringLiteral("editor"));
    ASSERT_NE(editor, nullptr);
    test::savePng(hud->panel(), "root_floating_panel");
    QTest::mouseClick(editor, Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<QString>{"editor"});
    ASSERT_TRUE(test::waitFor([&] { return app.editor().doc().has_value(); }));
    EXPECT_EQ(app.editor().doc()->url, dir / "a.wav");
}

TEST(RootViews, TheWorkspaceBringsTheWindowUsedLastForward) {
    test::TempDir dir;
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    platform.workspace = std::make_unique<DesktopFileReveal>();
    FileReveal* workspace = platform.workspace.get();
    rootViews::complete(platform);

    // Two windows the user typed in, the second last; then a window that
    // takes no keyboard focus comes to the front.
    QLineEdit first, second;
    QWidget other;
    for (QLineEdit* window : {&first, &second}) {
        window->show();
        window->activateWindow();
        window->setFocus();
        ASSERT_TRUE(test::waitFor([&] { return QApplication::focusWidget() == window; }));
    }
    other.show();
    other.activateWindow();
    ASSERT_TRUE(test::waitFor([&] { return QApplication::activeWindow() == &other; }));
    workspace->activate();
    EXPECT_TRUE(test::waitFor([&] { return QApplication::activeWindow() == &second; }));
}

TEST(RootViews, AnInsertsOpenShowsItsWindowThroughTheApplicationsSetUp) {
    test::useTestPlugins();
    test::TempDir dir;
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    rootViews::complete(platform);
    AppModel app(std::move(platform));
    app.monitor().addInsert(*Lv2Host::find("urn:quillmarsh:test:gain"));
    const auto insert = app.monitor().inserts().at(0);
    app.monitor().showUI(insert.id);
    ASSERT_TRUE(app.monitor().window(insert.id));
    QWidget* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "insertWindow" && w->isVisible()) window = w;
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), insert.name);
    // Offscreen there is no X11 window to embed: the generic panel.
    auto* slider = window->findChild<QSlider*>("gain");
    ASSERT_TRUE(slider);
    slider->setValue(500);
    EXPECT_EQ(insert.unit->control(0), 2.0f);
    test::savePng(*window, "root_insert_window");
}
