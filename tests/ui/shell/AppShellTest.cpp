// The application's windows and menus over a root built on fakes, under the
// offscreen platform: the command tree, shortcuts from any window, the
// tray menu's output choices and toggles, files handed over, the window
// opener, quitting with the last window where there is no tray, and
// pictures of every window and of the tray menu.
#include "ui/shell/AppShell.h"

#include <QAction>
#include <QFontInfo>
#include <QLabel>
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>

#include <fstream>

#include <gtest/gtest.h>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "app/player/PlayerModel.h"
#include "app/DBusStandIn.h"
#include "app/core/FileReveal.h"
#include "app/shell/AppFakes.h"
#include "app/shell/HandedFiles.h"
#include "support/AudioFiles.h"
#include "support/TempDir.h"
#include "ui/UiTestSupport.h"
#include "ui/library/InspectorView.h"
#include "ui/library/MainView.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/WindowRegistry.h"
#include "ui/settings/AuditionSettings.h"
#include "ui/settings/SettingsView.h"
#include "ui/widgets/Style.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

struct ShellFixture {
    test::TempDir dir;
    test::FakePieces pieces;
    std::unique_ptr<AppModel> app;
    std::unique_ptr<AppShell> shell;
    std::vector<std::vector<fs::path>> tempEdits;
    int links = 0;
    int quits = 0;

    ShellFixture() {
        app = std::make_unique<AppModel>(pieces.platform(dir.path()));
        MenuHooks hooks;
        hooks.makeTempEdits = [this](const std::vector<fs::path>& files) { tempEdits.push_back(files); };
        hooks.openCopiedLink = [this] { ++links; };
        hooks.quit = [this] { ++quits; };
        shell = std::make_unique<AppShell>(*app, hooks);
        app->start();
    }
    ~ShellFixture() {
        app->editor().stop();
        shell.reset();
        app.reset();
    }
    fs::path wav(const std::string& name) {
        test::writeTestFile(dir / name, 2, 48000, 48000, {test::FileKind::wav, 16});
        return dir / name;
    }
    void loadPlayer(const fs::path& file) {
        app->player().load(file, false);
        ASSERT_TRUE(test::waitFor([&] { return app->player().info().has_value(); }));
    }
    QWidget* window(const char* id) { return shell->windows().window(QString::fromLatin1(id)); }
    bool visible(const char* id) {
        QWidget* w = window(id);
        return w && w->isVisible();
    }
};

}  // namespace

TEST(AppShell, TheCommandTreeHasItsTitlesShortcutsAndStates) {
    ShellFixture f;
    f.shell->open("main");
    auto* main = qobject_cast<QMainWindow*>(f.window("main"));
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->windowTitle(), "Quillmarsh");
    EXPECT_GE(main->minimumWidth(), MainView::kMinimumWidth);
    EXPECT_GE(main->minimumHeight(), MainView::kMinimumHeight);

    struct Item {
        const char* menu;
        const char* title;
        const char* keys;
        bool checkable;
    };
    const std::vector<Item> expected = {
        {"&File", "Add Library Folder…", "Ctrl+O", false},     {"&File", "Open in Editor", "Ctrl+E", false},
        {"&File", "Make Temp Edits", "Ctrl+Shift+E", false},   {"&File", "Settings…", "Ctrl+,", false},
        {"&File", "Quit Quillmarsh", "Ctrl+Q", false},         {"&View", "Expert Mode", "Ctrl+Alt+E", true},
        {"&Playback", "Play / Stop", "Ctrl+Return", false},    {"&Playback", "Toggle Loop", "Ctrl+L", false},
        {"&Playback", "Clear Selection", "Ctrl+D", false},     {"&Playback", "Open Copied Link", "Ctrl+Shift+V", false},
        {"&Window", "Monitor", "Ctrl+Shift+M", false},
    };
    std::vector<Item> found;
    std::vector<std::string> titles, keys;
    for (QAction* menu : main->menuBar()->actions())
        for (QAction* a : menu->menu()->actions()) {
            if (a->isSeparator()) continue;
            EXPECT_EQ(a->shortcutContext(), Qt::ApplicationShortcut) << a->text().toStdString();
            titles.push_back(menu->text().toStdString() + "/" + a->text().toStdString());
            keys.push_back(a->shortcut().toString(QKeySequence::PortableText).toStdString() +
                           (a->isCheckable() ? " checkable" : ""));
        }
    std::vector<std::string> wantTitles, wantKeys;
    for (const auto& i : expected) {
        wantTitles.push_back(std::string(i.menu) + "/" + i.title);
        wantKeys.push_back(std::string(i.keys) + (i.checkable ? " checkable" : ""));
    }
    EXPECT_EQ(titles, wantTitles);
    EXPECT_EQ(keys, wantKeys);

    // With no file in the player: no temp edits; "Open in Editor" only
    // shows the editor.
    QuillmarshCommands& c = f.shell->commands();
    EXPECT_FALSE(c.makeTempEdits->isEnabled());
    c.makeTempEdits->trigger();
    EXPECT_TRUE(f.tempEdits.empty());
    c.openInEditor->trigger();
    EXPECT_TRUE(f.visible("editor"));
    EXPECT_FALSE(f.app->editor().doc().has_value());

    // With a file: both act on it.
    const fs::path a = f.wav("a.wav");
    f.loadPlayer(a);
    EXPECT_TRUE(c.makeTempEdits->isEnabled());
    c.makeTempEdits->trigger();
    EXPECT_EQ(f.tempEdits, std::vector<std::vector<fs::path>>{{a}});
    c.openInEditor->trigger();
    ASSERT_TRUE(test::waitFor([&] { return f.app->editor().doc().has_value(); }));
    EXPECT_EQ(f.app->editor().doc()->url, a);

    // Expert mode: the action writes the setting, a change of the setting
    // from elsewhere moves the check.
    c.expertMode->trigger();
    EXPECT_TRUE(f.app->settings().value().expertMode);
    EXPECT_TRUE(c.expertMode->isChecked());
    f.app->handle("expert", {});
    EXPECT_FALSE(f.app->settings().value().expertMode);
    EXPECT_FALSE(c.expertMode->isChecked());
    f.app->handle("expert", {});
    EXPECT_TRUE(c.expertMode->isChecked());

    // Loop, selection, link and quit reach the models and hooks.
    const bool loop = f.app->player().loop();
    c.toggleLoop->trigger();
    EXPECT_EQ(f.app->player().loop(), !loop);
    c.openCopiedLink->trigger();
    c.quit->trigger();
    EXPECT_EQ(f.links, 1);
    EXPECT_EQ(f.quits, 1);
}

TEST(AppShell, OpenInEditorOnAFileThePlayerCouldNotReadSaysWhyWholly) {
    ShellFixture f;
    QuillmarshCommands& c = f.shell->commands();
    // Damaged: the header is no audio (no permission stops root reading).
    const fs::path damaged = f.dir / "Damaged take from the second session.wav";
    std::ofstream(damaged) << "RIFF, then nothing a reader can use";
    const auto failPlayer = [&] {
        f.app->player().load(damaged, false);
        ASSERT_TRUE(test::waitFor([&] { return !f.app->player().isLoading(); }));
        ASSERT_FALSE(f.app->player().info());
    };
    // The message as the user sees it: the warning colour at the desktop's
    // text size, every wrapped line within the label.
    const auto readable = [&](const char* name) {
        auto* line = f.window("editor")->findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_TRUE(line && line->isVisible()) << name;
        ASSERT_TRUE(f.app->editor().message());
        EXPECT_EQ(line->text(), QString::fromStdString(*f.app->editor().message()));
        EXPECT_TRUE(line->text().contains(QString::fromStdString(damaged.filename().string()))) << "the file is named";
        EXPECT_TRUE(line->text().contains("not an audio file")) << "and why: " << line->text().toStdString();
        EXPECT_EQ(line->palette().color(QPalette::WindowText), style::warning(line->parentWidget()->palette()));
        EXPECT_GE(QFontInfo(line->font()).pixelSize(), QFontInfo(QApplication::font()).pixelSize());
        // The label's new height comes with the layout's next pass, which a
        // busy machine may hold back past one turn of the event loop.
        EXPECT_TRUE(test::waitFor([&] { return line->heightForWidth(line->width()) <= line->height(); }))
            << "cut at the bottom: " << line->height() << " px for " << line->heightForWidth(line->width());
    };

    // From the library window, no document in the editor: the editor's
    // empty state says what went wrong.
    f.shell->open("main");
    failPlayer();
    c.openInEditor->trigger();
    ASSERT_TRUE(f.visible("editor"));
    ASSERT_TRUE(test::waitFor([&] { return f.app->editor().message().has_value() && !f.app->editor().busy(); }));
    EXPECT_FALSE(f.app->editor().doc());
    QApplication::processEvents();
    readable("emptyMessage");
    test::savePng(*f.window("editor"), "app_editor_failed_open");

    // Over a document, which stays: the transport's line, at the window's
    // size and at its least.
    f.loadPlayer(f.wav("a.wav"));
    c.openInEditor->trigger();
    ASSERT_TRUE(test::waitFor([&] { return f.app->editor().doc().has_value(); }));
    failPlayer();
    c.openInEditor->trigger();
    ASSERT_TRUE(test::waitFor([&] { return f.app->editor().message().has_value() && !f.app->editor().busy(); }));
    ASSERT_TRUE(f.app->editor().doc());
    EXPECT_EQ(f.app->editor().doc()->url, f.dir / "a.wav");
    QWidget* editor = f.window("editor");
    for (const QSize size : {editor->size(), editor->minimumSize()}) {
        editor->resize(size);
        QApplication::processEvents();
        readable("message");
    }
    test::savePng(*editor, "app_editor_failed_open_over_a_document");
}

TEST(AppShell, ShortcutsWorkFromEveryWindow) {
    ShellFixture f;
    f.loadPlayer(f.wav("a.wav"));
    f.shell->open("editor");
    QWidget* editor = f.window("editor");
    ASSERT_TRUE(test::waitFor([&] { return QApplication::activeWindow() == editor; }));

    QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(test::waitFor([&] { return f.app->player().isPlaying(); }));
    QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(test::waitFor([&] { return !f.app->player().isPlaying(); }));

    EXPECT_FALSE(f.visible("monitor"));
    QTest::keyClick(editor, Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(f.visible("monitor"));
    EXPECT_EQ(f.window("monitor")->windowTitle(), "Monitor");

    // The settings window alone, with no menu bar shown anywhere, takes
    // the same keys.
    f.window("editor")->close();
    f.window("monitor")->close();
    f.shell->open("settings");
    QWidget* settings = f.window("settings");
    ASSERT_TRUE(test::waitFor([&] { return QApplication::activeWindow() == settings; }));
    QTest::keyClick(settings, Qt::Key_M, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(f.visible("monitor"));
}

TEST(AppShell, TheOutputChoicesAreKeyedByIdAndTheTogglesWriteTheSettings) {
    ShellFixture f;
    SettingsStore& settings = f.app->settings();
    // Two profiles of the same name, none chosen yet.
    settings.update([](AppSettings& s) {
        s.profiles.resize(2);
        s.profiles[1] = s.profiles[0];
        s.profiles[1].id = Uuid::random();
        s.profiles[0].name = s.profiles[1].name = "Nearfield";
        s.activeProfileID.reset();
    });
    StatusMenu& menu = f.shell->statusMenu();
    const QList<QAction*> choices = menu.output->actions();
    ASSERT_EQ(choices.size(), 2);
    EXPECT_EQ(choices[0]->text(), choices[1]->text());
    EXPECT_NE(choices[0]->data(), choices[1]->data());
    EXPECT_TRUE(choices[0]->isChecked());
    EXPECT_FALSE(choices[1]->isChecked());

    // Choosing the first stores it; choosing it again changes nothing.
    QSignalSpy changes(&settings, &SettingsStore::valueChanged);
    choices[0]->trigger();
    ASSERT_TRUE(settings.value().activeProfileID.has_value());
    EXPECT_EQ(*settings.value().activeProfileID, settings.value().profiles[0].id);
    const int afterFirst = changes.count();
    EXPECT_EQ(afterFirst, 1);
    menu.output->actions()[0]->trigger();
    EXPECT_EQ(changes.count(), afterFirst);
    // The second of the same name is its own choice.
    menu.output->actions()[1]->trigger();
    EXPECT_EQ(*settings.value().activeProfileID, settings.value().profiles[1].id);
    EXPECT_TRUE(menu.output->actions()[1]->isChecked());
    EXPECT_FALSE(menu.output->actions()[0]->isChecked());

    // Each toggle writes its own field and nothing else.
    struct Toggle {
        QAction* action;
        bool AppSettings::*field;
    };
    for (const Toggle& t : {Toggle{menu.finderPanel, &AppSettings::finderPanel},
                            Toggle{menu.autoPlay, &AppSettings::autoPlay},
                            Toggle{menu.spacePlays, &AppSettings::spacePlaysInFinder}}) {
        AppSettings before = settings.value();
        EXPECT_EQ(t.action->isChecked(), before.*(t.field)) << t.action->text().toStdString();
        t.action->trigger();
        AppSettings expected = before;
        expected.*(t.field) = !(before.*(t.field));
        EXPECT_EQ(settings.value().encode(), expected.encode()) << t.action->text().toStdString();
        EXPECT_EQ(t.action->isChecked(), expected.*(t.field));
    }

    // The window items open (or bring forward) their windows; quit asks.
    for (auto [action, id] : {std::pair{menu.showBrowser, "main"}, std::pair{menu.showEditor, "editor"},
                              std::pair{menu.showMonitor, "monitor"}, std::pair{menu.settingsItem, "settings"}}) {
        action->trigger();
        EXPECT_TRUE(f.visible(id)) << id;
    }
    menu.quitItem->trigger();
    EXPECT_EQ(f.quits, 1);
}

TEST(AppShell, FilesHandedOverOpenTheFirstAudioFileInTheEditor) {
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::optional<std::string> opened;
    };
    const std::vector<Case> cases = {
        {"text then WAV", {"text.txt", "a.WAV"}, "a.WAV"},
        {"mixed case, first wins", {"b.Flac", "a.wav"}, "b.Flac"},
        {"no audio", {"text.txt", "doc.pdf"}, std::nullopt},
        {"nothing", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::vector<fs::path> files;
        for (const auto& name : c.files) files.push_back(fs::path("/x") / name);
        const auto first = firstAudioFile(files);
        EXPECT_EQ(first.has_value(), c.opened.has_value()) << c.name;
        if (first && c.opened) {
            EXPECT_EQ(first->filename(), *c.opened) << c.name;
        }
    }

    ShellFixture f;
    const fs::path wav = f.wav("a.WAV");
    std::ofstream(f.dir / "text.txt") << "text";

    // Before any window: the editor loads it and no window opens.
    EXPECT_FALSE(f.app->openWindowAction);
    EXPECT_TRUE(openHandedFiles(*f.app, {f.dir / "text.txt", wav}));
    ASSERT_TRUE(test::waitFor([&] { return f.app->editor().doc().has_value(); }));
    EXPECT_EQ(f.app->editor().doc()->url, wav);
    EXPECT_EQ(f.window("editor"), nullptr);
    EXPECT_EQ(f.pieces.workspace->activations, 1);

    // Only non-audio files: nothing, not even an activation.
    f.shell->open("main");
    EXPECT_FALSE(openHandedFiles(*f.app, {f.dir / "text.txt"}));
    EXPECT_EQ(f.window("editor"), nullptr);
    EXPECT_EQ(f.pieces.workspace->activations, 1);

    // With a window shown, the editor window comes forward.
    EXPECT_TRUE(openHandedFiles(*f.app, {wav}));
    EXPECT_TRUE(f.visible("editor"));
    EXPECT_EQ(f.pieces.workspace->activations, 2);
}

TEST(AppShell, TheWindowOpenerOutlivesTheWindowThatProvidedIt) {
    ShellFixture f;
    WindowRegistry& windows = f.shell->windows();
    EXPECT_FALSE(f.app->openWindowAction);
    f.shell->open("main");
    ASSERT_TRUE(f.app->openWindowAction);
    f.window("main")->close();
    EXPECT_FALSE(f.visible("main"));

    f.app->openWindow("editor");
    EXPECT_TRUE(f.visible("editor"));
    f.app->openWindow("main");
    EXPECT_TRUE(f.visible("main"));
    // An open window is brought forward, never built twice.
    f.app->openWindow("editor");
    f.app->openWindow("editor");
    EXPECT_EQ(windows.builds("editor"), 1);
    EXPECT_EQ(windows.builds("main"), 1);
    EXPECT_TRUE(test::waitFor([&] { return QApplication::activeWindow() == f.window("editor"); }));
    EXPECT_FALSE(windows.open("nothing"));
}

TEST(AppShell, ATempEditBatchOfTheEditorIsRevealedOnce) {
    // The root and the editor window both hear the batch end; the file
    // manager (a stand-in on a private bus) is asked to show it once.
    test::TempDir dir;
    test::PrivateBus bus;
    test::FileManagerStandIn manager{bus.connect("manager")};
    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    platform.workspace = std::make_unique<DesktopFileReveal>(bus.connect("app"));
    AppModel app(std::move(platform));
    AppShell shell(app, MenuHooks{});
    app.start();
    shell.open("editor");
    const fs::path piece = dir / "Drums.wav";
    test::writePiece(piece, 40, 44100, 2);
    app.editor().open(piece);
    ASSERT_TRUE(test::waitFor([&] { return !app.editor().plans().empty() && !app.editor().analyzing(); }));
    app.editor().makeTempEdits();
    ASSERT_TRUE(test::waitFor([&] { return app.editor().lastExport().has_value(); }));
    ASSERT_TRUE(test::waitFor([&] { return !manager.calls.empty(); }));
    // Time for a second call, were there one.
    test::waitFor([] { return false; }, nullptr, std::chrono::milliseconds(500));
    ASSERT_EQ(manager.calls.size(), 1u);
    EXPECT_EQ(manager.calls[0], DesktopFileReveal::uris({app.editor().lastExport()->folder}));
    app.editor().stop();
}

TEST(AppShell, WithoutATrayClosingTheLastWindowQuits) {
    ShellFixture f;
    ASSERT_EQ(f.shell->tray(), nullptr) << "the offscreen platform has no tray";
    EXPECT_FALSE(f.shell->staysWithoutWindows());
    f.shell->open("main");
    f.shell->open("editor");
    f.shell->open("settings");
    f.window("editor")->close();
    f.window("settings")->close();
    QTest::qWait(50);
    EXPECT_EQ(f.quits, 0) << "the library window is still open";
    f.window("main")->showMinimized();
    QTest::qWait(50);
    EXPECT_EQ(f.quits, 0) << "a minimised window is still open";

    // A file handed over while a window is open comes in.
    const fs::path wav = f.wav("a.wav");
    EXPECT_TRUE(openHandedFiles(*f.app, {wav}));
    ASSERT_TRUE(f.visible("editor"));
    f.window("editor")->close();
    f.window("main")->close();
    EXPECT_TRUE(test::waitFor([&] { return f.quits == 1; })) << "the last window closed";
    QTest::qWait(50);
    EXPECT_EQ(f.quits, 1);
}

TEST(AppShell, TheSettingsWindowKnowsAWaylandSessionFromTheRoot) {
    for (const bool wayland : {false, true}) {
        test::TempDir dir;
        test::FakePieces pieces;
        AppPlatform platform = pieces.platform(dir.path());
        platform.waylandSession = wayland;
        AppModel app(std::move(platform));
        EXPECT_EQ(app.waylandSession(), wayland);
        SettingsView view(app, [] { return std::vector<AudioOutputDevice>{}; });
        auto* note = view.findChild<QLabel*>(QStringLiteral("waylandNote"));
        ASSERT_NE(note, nullptr);
        EXPECT_EQ(note->isVisibleTo(&view.audition()), wayland);
    }
}

// On Wayland the tray menu offers nothing that follows the file manager
// (auto-play still serves the library's list) and says why where its items
// would be.
TEST(AppShell, TheTrayMenuOnWaylandOffersNoFileManagerItemsAndSaysWhy) {
    for (const bool wayland : {false, true}) {
        test::TempDir dir;
        test::FakePieces pieces;
        AppPlatform platform = pieces.platform(dir.path());
        platform.waylandSession = wayland;
        AppModel app(std::move(platform));
        AppShell shell(app, MenuHooks{});
        StatusMenu& menu = shell.statusMenu();
        QStringList offered;
        for (QAction* action : menu.actions())
            if (action->isVisible() && !action->isSeparator()) offered << action->text();
        EXPECT_EQ(offered.contains(QStringLiteral("File Manager Panel")), !wayland);
        EXPECT_EQ(offered.contains(QStringLiteral("Space Plays in File Manager")), !wayland);
        EXPECT_TRUE(offered.contains(QStringLiteral("Auto-Play")));
        EXPECT_EQ(offered.contains(QString::fromUtf8(StatusMenu::kWaylandItem)), wayland);
        EXPECT_FALSE(menu.waylandNote->isEnabled());
        EXPECT_EQ(menu.waylandNote->toolTip(), QString::fromUtf8(AuditionSettings::kWaylandNote));
        if (wayland) {
            menu.popup(QPoint(10, 10));
            ASSERT_TRUE(test::waitFor([&] { return menu.isVisible(); }));
            test::savePng(menu, "app_tray_menu_wayland");
            menu.hide();
        }
    }
}

TEST(AppShell, EveryWindowAndTheTrayMenuArePictured) {
    ShellFixture f;
    f.loadPlayer(f.wav("a.wav"));
    for (const char* id : {"main", "editor", "monitor", "settings"}) {
        f.shell->open(id);
        test::savePng(*f.window(id), QStringLiteral("app_window_%1").arg(id));
    }
    EXPECT_EQ(f.window("monitor")->size(), QSize(AppShell::kMonitorWidth, AppShell::kMonitorHeight));
    StatusMenu& menu = f.shell->statusMenu();
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(test::waitFor([&] { return menu.isVisible(); }));
    test::savePng(menu, "app_tray_menu");
    menu.hide();
}
