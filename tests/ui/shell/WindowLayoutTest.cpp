// Every window of the application, filled as a user would fill it (a file in
// the player, a piece with its pins and plans in the editor, a library
// folder with the inspector open, the banners up, the monitor on 9.1.6
// speakers), at every size it allows from its minimum to a full-HD screen,
// with expert mode off and on: no control lies over another or sticks out
// of its row, no text is wider or taller than its control or cut to fewer
// than 8 characters (a table's cell only while another column has room to
// spare), no text (their menus' too) speaks another desktop's words, and
// every button that shows only a symbol has a name. The same sweep runs
// again in child processes at twice the scale, in the German locale and
// with one and a half times the desktop's text size, as a user's desktop
// may be set; each child first makes sure its setting took effect.
//
// Where the windows were, how big, and how their splitters stood survive a
// restart: two runs of this program, one after the other, over the same
// settings, on a 1920 x 1080 screen; a frame kept from a larger screen
// comes back inside the one there is.
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QLocale>
#include <QMainWindow>
#include <QProcess>
#include <QScreen>
#include <QMenu>
#include <QSplitter>
#include <QStyle>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/editor/EditorModel.h"
#include "app/library/LibraryModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppFakes.h"
#include "support/AudioFiles.h"
#include "support/Lv2Plugins.h"
#include "support/Profiles.h"
#include "support/TempDir.h"
#include "support/Timeouts.h"
#include "ui/UiTestSupport.h"
#include "ui/library/BrowserView.h"
#include "ui/library/FileSelection.h"
#include "ui/library/InspectorView.h"
#include "ui/library/MainView.h"
#include "ui/monitor/MonitorView.h"
#include "ui/monitor/SpeakerMap.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/AppShell.h"
#include "ui/shell/HUDController.h"
#include "ui/shell/HUDPanel.h"
#include "ui/shell/WindowPlacement.h"
#include "ui/shell/WindowRegistry.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

constexpr const char* kChildMark = "QM_WINDOW_LAYOUT_CHILD";
// What a child of the sweep must find: a device pixel ratio, a locale, the
// application font's pixel size.
constexpr const char* kExpectRatio = "QM_EXPECT_PIXEL_RATIO";
constexpr const char* kExpectLocale = "QM_EXPECT_LOCALE";
constexpr const char* kExpectFontPixels = "QM_EXPECT_FONT_PIXELS";
constexpr const char* kPlacementDir = "QM_WINDOW_PLACEMENT_DIR";

// The whole application over fakes, in `dir`, with something in every
// window.
struct Filled {
    fs::path dir;
    test::FakePieces pieces;
    std::unique_ptr<AppModel> app;
    std::unique_ptr<AppShell> shell;
    fs::path library;

    explicit Filled(const fs::path& folder, bool fill = true) : dir(folder) {
        test::useTestPlugins();
        app = std::make_unique<AppModel>(pieces.platform(dir, /*trusted=*/false));
        shell = std::make_unique<AppShell>(*app, MenuHooks{});
        app->start();
        library = dir / "Library";
        fs::create_directories(library);
        if (!fill) return;
        for (const char* name : {"Door slam wooden heavy.wav", "Rain on a tin roof.wav", "Wind.wav",
                                 "Ambient drone with distant thunder and a storm drawing near.wav"})
            test::writeTestFile(library / name, 2, 48000, 48000, {test::FileKind::wav, 16});
        app->library().open(library);
        app->player().load(library / "Wind.wav", false);
        EXPECT_TRUE(test::waitFor([&] { return app->player().info().has_value(); }));
        test::writePiece(dir / "A piece of music with a long name.wav", 24, 44100, 2);
        app->editor().open(dir / "A piece of music with a long name.wav");
        EXPECT_TRUE(test::waitFor([&] { return app->editor().pins().has_value() && !app->editor().analyzing(); },
                                  nullptr, test::timeout(std::chrono::seconds(60))));
        app->editor().setSelection(FrameRange{44100, 88200});
        // The monitor on the most speakers it draws.
        const OutputProfile wide = test::profileInLayoutOrder(LayoutID::l916, OutputProfile::Kind::speakers,
                                                              "jack:Speakers", "Room 9.1.6");
        app->settings().update([&](AppSettings& s) { s.profiles.push_back(wide); });
        app->monitor().setProfileID(wide.id);
    }
    ~Filled() {
        app->editor().stop();
        shell.reset();
        app.reset();
    }
    QWidget* open(const char* id) {
        shell->open(QString::fromLatin1(id));
        QApplication::processEvents();
        return shell->windows().window(QString::fromLatin1(id));
    }
    MainView& mainView() { return *open("main")->findChild<MainView*>(); }
    void showInspector() {
        mainView().selection().set({library / "Door slam wooden heavy.wav"});
        QApplication::processEvents();
    }
};

// What is wrong with a window at a size: every finding, labelled.
QStringList findings(QWidget& window, const QString& where) {
    QStringList out;
    for (const QString& f : test::overlaps(window)) out << where + ": " + f;
    for (const QString& f : test::clippedTexts(window)) out << where + ": " + f;
    for (const QString& f : test::elidedTexts(window)) out << where + ": " + f;
    for (const QString& f : test::foreignWords(window)) out << where + ": foreign word in \"" + f + "\"";
    return out;
}

// In a child run: the scale, locale and font it was started with are the
// ones its windows have, or the sweep would only repeat the plain run.
void expectTheChildsSettings(QWidget& window) {
    if (qEnvironmentVariableIsSet(kExpectRatio)) {
        EXPECT_EQ(window.devicePixelRatio(), qEnvironmentVariable(kExpectRatio).toDouble());
    }
    if (qEnvironmentVariableIsSet(kExpectLocale)) {
        EXPECT_EQ(QLocale().name(), qEnvironmentVariable(kExpectLocale));
        EXPECT_EQ(QLocale().toString(1.5), QStringLiteral("1,5"));
    }
    if (qEnvironmentVariableIsSet(kExpectFontPixels)) {
        const int wanted = qEnvironmentVariable(kExpectFontPixels).toInt();
        EXPECT_NEAR(QFontInfo(QApplication::font()).pixelSize(), wanted, 1);
        EXPECT_NEAR(QFontInfo(window.font()).pixelSize(), wanted, 1) << "the window's text too";
    }
}

// Runs this program again for one test, with `environment` added; expects
// it to pass there.
void runChild(const QString& test, const QStringList& environment) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildMark), QStringLiteral("1"));
    for (const QString& pair : environment) env.insert(pair.section('=', 0, 0), pair.section('=', 1));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + test});
    ASSERT_TRUE(child.waitForStarted());
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(test::timeout(std::chrono::seconds(120)));
    const bool ended = child.waitForFinished(static_cast<int>(limit.count()));
    const std::string output = child.readAll().toStdString();
    ASSERT_TRUE(ended) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// A screen of 1920 x 1080 for the offscreen platform.
QString fullHdScreen(const fs::path& dir) {
    const fs::path config = dir / "screen.json";
    std::ofstream(config) << R"({"screens": [{"name": "FullHD", "width": 1920, "height": 1080, "logicalDpi": 96}]})";
    return QStringLiteral("QT_QPA_PLATFORM=offscreen:configfile=") + QString::fromStdString(config.string());
}

}  // namespace

TEST(WindowLayout, EveryWindowAtEverySizeItAllowsKeepsItsControlsApartAndItsTextsWhole) {
    test::TempDir dir;
    Filled f(dir.path());
    f.showInspector();
    QStringList found;
    for (bool expert : {false, true}) {
        f.app->settings().update([expert](AppSettings& s) { s.expertMode = expert; });
        QApplication::processEvents();
        for (const char* id : {"main", "editor", "monitor", "settings"}) {
            QWidget* window = f.open(id);
            ASSERT_TRUE(window) << id;
            // The monitor fills its pickers as its lists arrive: the sweep
            // measures the window as it then stands.
            if (auto* monitor = window->findChild<MonitorView*>()) {
                ASSERT_TRUE(test::waitFor([&] { return monitor->listsRead(); }));
            }
            QApplication::processEvents();
            expectTheChildsSettings(*window);
            const QSize least = window->minimumSize();
            EXPECT_GE(least.width(), 1) << id;
            for (QSize size : {least, least + QSize(37, 23), QSize(1280, 800), QSize(1920, 1080)}) {
                window->resize(size.expandedTo(least));
                QApplication::processEvents();
                // The minimum may have grown with what the content needs.
                if (window->size() != size.expandedTo(window->minimumSize())) {
                    window->resize(size.expandedTo(window->minimumSize()));
                    QApplication::processEvents();
                }
                found << findings(*window, QStringLiteral("%1 at %2x%3%4")
                                               .arg(id)
                                               .arg(window->width())
                                               .arg(window->height())
                                               .arg(expert ? " (expert)" : ""));
            }
            test::savePng(*window, QStringLiteral("layout_%1%2%3")
                                       .arg(id, expert ? "_expert" : "",
                                            qEnvironmentVariableIsSet(kChildMark)
                                                ? QStringLiteral("_x%1_%2_%3px")
                                                      .arg(window->devicePixelRatio())
                                                      .arg(QLocale().name())
                                                      .arg(QFontInfo(QApplication::font()).pixelSize())
                                                : QString()));
        }
    }
    // The library window's inspector stands beside the list at the window's
    // least width, never over it.
    auto* main = qobject_cast<QMainWindow*>(f.open("main"));
    main->resize(main->minimumSize());
    QApplication::processEvents();
    ASSERT_TRUE(f.mainView().inspector() && f.mainView().inspector()->isVisible());
    const QRect list = f.mainView().browser().geometry();
    const QRect inspector = f.mainView().inspector()->geometry();
    EXPECT_LE(list.right(), inspector.left());
    EXPECT_GE(list.width(), MainView::kListMinimumWidth);
    EXPECT_GE(inspector.width(), InspectorView::kMinimumWidth);
    EXPECT_TRUE(found.isEmpty()) << found.join('\n').toStdString();
}

TEST(WindowTexts, NoWindowOrMenuSpeaksAnotherDesktopsWords) {
    test::TempDir dir;
    Filled f(dir.path());
    f.showInspector();
    QStringList all, foreign;
    auto scan = [&](QWidget& w) {
        all << test::readableTexts(w);
        foreign << test::foreignWords(w);
    };
    for (bool expert : {false, true}) {
        f.app->settings().update([expert](AppSettings& s) { s.expertMode = expert; });
        for (const char* id : {"main", "editor", "monitor", "settings"}) scan(*f.open(id));
    }
    scan(f.shell->statusMenu());
    // The menus made when asked for: the file list's and a speaker's.
    std::unique_ptr<QMenu> files(f.mainView().browser().contextMenu({f.library / "Wind.wav"}, nullptr));
    scan(*files);
    auto* map = f.open("monitor")->findChild<SpeakerMap*>();
    ASSERT_TRUE(map && !map->buttons().empty());
    std::unique_ptr<QMenu> speaker(map->contextMenu(map->buttons().front()->speaker()));
    scan(*speaker);
    // The floating panel as the views make it, hosting the player.
    HUDController hud;
    hud.hostPlayer(f.app->player(), f.app->settings(), &f.app->editor());
    const QStringList panel = test::readableTexts(hud.panel());
    scan(hud.panel());
    // The inspector's rename question; then every window there is now,
    // message boxes among them.
    f.mainView().inspector()->askRename();
    QApplication::processEvents();
    for (QWidget* top : QApplication::topLevelWidgets()) scan(*top);
    foreign.removeDuplicates();
    EXPECT_TRUE(foreign.isEmpty()) << foreign.join('\n').toStdString();
    // The scan reaches what it must: the platform words as this desktop
    // says them.
    for (const char* text : {"Show in File Manager", "Space plays audio files in the file manager",
                             "Show the audition panel under file manager windows", "File Manager Panel",
                             "Space Plays in File Manager", "Undo (Ctrl+Z)", "Redo (Ctrl+Shift+Z)",
                             "Turn On Accessibility", "Add Plug-in…", "Click to solo, Alt-click to mute, right-click for both"})
        EXPECT_TRUE(all.contains(QString::fromUtf8(text))) << text;
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const QString& t) { return t.contains("Open in Editor (Ctrl+E)"); }));
    // Tabs, the panel's own controls and the message box are read too.
    for (const char* text : {"Outputs", "Audition", "Library", "DAW sessions that reference the old names will need to relink."})
        EXPECT_TRUE(all.contains(QString::fromUtf8(text))) << text;
    EXPECT_TRUE(std::any_of(panel.begin(), panel.end(), [](const QString& t) { return t.startsWith("Open in the editor (Ctrl+E)"); }));
    // The words looked for are found where they stand.
    EXPECT_EQ(test::foreignWords(QStringList{"Open System Preferences", "Turn on Quillmarsh under Automation",
                                             "File Manager Panel"}),
              (QStringList{"Open System Preferences", "Turn on Quillmarsh under Automation"}));
}

TEST(WindowTexts, EveryButtonThatShowsOnlyAnIconHasAName) {
    test::TempDir dir;
    Filled f(dir.path());
    f.showInspector();
    QStringList unnamed;
    int icons = 0;
    auto scan = [&](QWidget& root, const QString& where) {
        for (QAbstractButton* b : root.findChildren<QAbstractButton*>()) {
            if (!b->isVisibleTo(&root) || !b->text().remove(QLatin1Char('&')).trimmed().isEmpty()) continue;
            ++icons;
            QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(b);
            if (!spoken || spoken->text(QAccessible::Name).trimmed().isEmpty())
                unnamed << QStringLiteral("%1: %2 (%3), tooltip \"%4\"")
                               .arg(where, b->objectName(), QString::fromLatin1(b->metaObject()->className()),
                                    b->toolTip());
        }
    };
    for (bool expert : {false, true}) {
        f.app->settings().update([expert](AppSettings& s) { s.expertMode = expert; });
        for (const char* id : {"main", "editor", "monitor", "settings"}) {
            QWidget* window = f.open(id);
            QApplication::processEvents();
            scan(*window, QString::fromLatin1(id));
        }
    }
    HUDController hud;
    hud.hostPlayer(f.app->player(), f.app->settings(), &f.app->editor());
    hud.panel().show();
    QApplication::processEvents();
    scan(hud.panel(), QStringLiteral("panel"));
    // The undo, zoom and transport buttons of the editor are among them.
    EXPECT_GE(icons, 15);
    unnamed.removeDuplicates();
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join('\n').toStdString();
}

TEST(WindowLayout, TheSameSweepAtTwiceTheScaleInGermanAndWithLargeText) {
    if (qEnvironmentVariableIsSet(kChildMark)) GTEST_SKIP() << "a child runs the sweep itself";
    const QString sweep = QStringLiteral("WindowLayout.EveryWindowAtEverySizeItAllowsKeepsItsControlsApartAndItsTextsWhole");
    const QStringList twice = {QStringLiteral("QT_SCALE_FACTOR=2"), QString::fromLatin1(kExpectRatio) + "=2"};
    const QStringList german = {QStringLiteral("LANG=de_DE.UTF-8"), QStringLiteral("LC_ALL=de_DE.UTF-8"),
                                QStringLiteral("LANGUAGE=de"), QString::fromLatin1(kExpectLocale) + "=de_DE"};
    // The font's point size one and a half times this run's.
    const int pixels = qRound(QFontInfo(QApplication::font()).pixelSize() * 1.5);
    const QStringList large = {QStringLiteral("QM_TEST_FONT_SCALE=1.5"),
                               QString::fromLatin1(kExpectFontPixels) + "=" + QString::number(pixels)};
    runChild(sweep, twice);
    runChild(sweep, german);
    runChild(sweep, twice + german);
    runChild(sweep, large);
}

// One run of the program: builds the windows over the settings in the
// folder the parent names; the first run places them, the second finds
// them where the first left them.
TEST(WindowLayout, ARunOfThePlacementTest) {
    if (!qEnvironmentVariableIsSet(kChildMark)) GTEST_SKIP() << "run by WindowPlacement.SizesPlacesAndSplittersSurviveARestart";
    const fs::path dir = qEnvironmentVariable(kPlacementDir).toStdString();
    const bool first = !fs::exists(dir / "first-run-done");
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_EQ(screen.size(), QSize(1920, 1080));
    Filled f(dir, first);
    if (!first) f.app->library().open(f.library);
    QWidget* main = f.open("main");
    QWidget* editor = f.open("editor");
    QWidget* monitor = f.open("monitor");
    auto* sidebar = main->findChild<QSplitter*>(QStringLiteral("sidebarSplit"));
    ASSERT_TRUE(sidebar);
    if (first) {
        // A first showing: two thirds of the screen, centred; the monitor at
        // its own size.
        EXPECT_EQ(main->size(), QSize(1280, 720));
        EXPECT_EQ(main->geometry().center(), screen.center());
        EXPECT_EQ(editor->size(), QSize(1280, 720));
        EXPECT_EQ(monitor->size(), QSize(AppShell::kMonitorWidth, AppShell::kMonitorHeight));
        // The user moves and sizes them, drags the sidebar's edge and the
        // inspector's.
        main->setGeometry(60, 70, 1400, 900);
        editor->setGeometry(300, 120, 1500, 820);
        monitor->setGeometry(900, 200, 800, 760);
        QApplication::processEvents();
        sidebar->setSizes({320, 1400 - 320});
        f.showInspector();
        auto* inspector = main->findChild<QSplitter*>(QStringLiteral("inspectorSplit"));
        ASSERT_EQ(inspector->count(), 2);
        const int total = inspector->sizes()[0] + inspector->sizes()[1];
        inspector->setSizes({total - 380, 380});
        QApplication::processEvents();
        std::ofstream(dir / "first-run-done") << "1";
        return;  // quitting writes what is not written yet
    }
    EXPECT_EQ(main->geometry(), QRect(60, 70, 1400, 900));
    EXPECT_EQ(editor->geometry(), QRect(300, 120, 1500, 820));
    EXPECT_EQ(monitor->geometry(), QRect(900, 200, 800, 760));
    EXPECT_EQ(sidebar->sizes()[0], 320);
    // The inspector's column, when it comes back, has the width it had.
    f.showInspector();
    QApplication::processEvents();
    auto* inspector = main->findChild<QSplitter*>(QStringLiteral("inspectorSplit"));
    ASSERT_EQ(inspector->count(), 2);
    EXPECT_EQ(inspector->sizes()[1], 380);
}

TEST(WindowPlacement, SizesPlacesAndSplittersSurviveARestart) {
    if (qEnvironmentVariableIsSet(kChildMark)) GTEST_SKIP();
    test::TempDir dir;
    const QStringList environment = {fullHdScreen(dir.path()),
                                     QString::fromLatin1(kPlacementDir) + "=" + QString::fromStdString(dir.path().string())};
    runChild(QStringLiteral("WindowLayout.ARunOfThePlacementTest"), environment);
    ASSERT_TRUE(fs::exists(dir / "first-run-done"));
    runChild(QStringLiteral("WindowLayout.ARunOfThePlacementTest"), environment);
}

TEST(WindowPlacement, AFrameKeptFromALargerScreenComesBackInsideTheScreenThereIs) {
    test::TempDir dir;
    UserDefaults defaults(QString::fromStdString((dir / "settings.ini").string()));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // Where a larger screen had room for it: past this one's right and
    // bottom edges, and larger than it.
    const QRect kept(screen.x() + screen.width() * 2 / 5, screen.y() + screen.height() / 3, screen.width() * 4 / 3,
                     screen.height() * 7 / 6);
    {
        QWidget window;
        WindowPlacement::install(window, defaults, QStringLiteral("w"));
        window.show();
        window.setGeometry(kept);
        QApplication::processEvents();
        ASSERT_EQ(window.geometry(), kept);
    }
    QWidget window;
    window.setMinimumSize(200, 150);
    WindowPlacement::install(window, defaults, QStringLiteral("w"));
    const int titleBar = window.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &window);
    EXPECT_TRUE(screen.contains(window.geometry().adjusted(0, -titleBar, 0, 0))) << window.geometry().x() << ","
                                                                                  << window.geometry().y();
    EXPECT_EQ(window.size(), QSize(screen.width(), screen.height() - titleBar)) << "shrunk only as far as it must";

    // A frame across two screens side by side is on screen; one off both
    // goes to the one it lies on most, never below its minimum.
    const QList<QRect> two = {QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 800)};
    EXPECT_EQ(WindowPlacement::insideScreens(QRect(1500, 300, 900, 500), two, QSize(), 30), QRect(1500, 300, 900, 500));
    EXPECT_EQ(WindowPlacement::insideScreens(QRect(2421, 320, 1066, 666), two, QSize(), 30), QRect(2134, 134, 1066, 666));
    EXPECT_EQ(WindowPlacement::insideScreens(QRect(2000, -50, 1300, 900), two, QSize(1300, 600), 30),
              QRect(1920, 30, 1300, 770));
}

TEST(WindowPlacement, AFirstFrameIsTwoThirdsOfTheScreenWithinItsBoundsAndNeverBelowTheMinimum) {
    EXPECT_EQ(WindowPlacement::firstFrame(QRect(0, 0, 1920, 1080), QSize(860, 520)), QRect(320, 180, 1280, 720));
    EXPECT_EQ(WindowPlacement::firstFrame(QRect(0, 0, 1280, 800), QSize(860, 520)).size(), QSize(860, 533));
    // A small screen: the minimum wins, centred.
    EXPECT_EQ(WindowPlacement::firstFrame(QRect(0, 0, 1024, 600), QSize(900, 560)).size(), QSize(900, 560));
    // A second screen to the right.
    EXPECT_EQ(WindowPlacement::firstFrame(QRect(1920, 0, 1920, 1080), QSize(10, 10)).center(), QPoint(2879, 539));
}
