// The editor's keys, window places and the speaker map's context menu on a
// real X server with a window manager (openbox, on the private desktop):
// keys typed with XTEST reach the window's shortcuts, but not while a text
// field has the focus; a window comes back where it was, its frame
// around it, in a second "run"; and a right-click on a speaker, which no
// window manager takes for itself as it may an Alt-click, mutes it through
// its menu.
#include <QApplication>
#include <QMenu>
#include <QSpinBox>
#include <QWindow>

#include <gtest/gtest.h>

#include <memory>

#include "app/RecordingWorkspace.h"
#include "app/core/UserDefaults.h"
#include "app/monitor/MonitorEngine.h"
#include "edit/EditOps.h"
#include "support/DesktopSession.h"
#include "ui/UiTestSupport.h"
#include "ui/editor/EditorWaveView.h"
#include "ui/editor/EditorWindow.h"
#include "ui/monitor/SpeakerMap.h"
#include "ui/shell/WindowPlacement.h"

using namespace qm;

namespace {

test::DesktopSession& session() { return test::sharedDesktopSession(); }

void pump() { QApplication::processEvents(QEventLoop::AllEvents, 20); }

bool waitFor(const std::function<bool()>& condition) { return test::waitUntil(condition, 10, pump); }

// Brings the window forward through the window manager and waits until it
// has the keyboard.
bool activate(QWidget& window) {
    window.show();
    if (!waitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); })) return false;
    const std::string id = std::to_string(window.winId());
    return session().xdotool({"windowactivate", "--sync", id}, pump) &&
           waitFor([&] { return QApplication::activeWindow() == &window; });
}

bool keys(const std::string& combination) {
    const bool ok = session().xdotool({"key", "--clearmodifiers", combination}, pump);
    pump();
    return ok;
}

}  // namespace

TEST(WindowsDesktop, TheEditorsKeysArriveThroughTheWindowManager) {
    ASSERT_TRUE(session().ok()) << session().failure();
    ASSERT_EQ(QApplication::platformName(), "xcb");
    test::EditorFixture e;
    test::writePiece(e.dir / "Drums.wav", 8, 44100, 1);
    e.open(e.dir / "Drums.wav");
    ASSERT_TRUE(e.model.doc());
    test::RecordingWorkspace reveal;
    EditorWindow window(e.model, e.settings, reveal);
    window.resize(1100, 700);
    ASSERT_TRUE(activate(window));
    window.waveform().setFocus();
    auto& m = e.model;
    const int64_t frames = m.doc()->frames();

    ASSERT_TRUE(keys("ctrl+a"));
    EXPECT_TRUE(e.waitFor([&] { return m.selection() == FrameRange{0, frames}; }));
    m.setSelection(FrameRange{0, 44100});
    ASSERT_TRUE(keys("Delete"));
    EXPECT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames - 44100; }));
    ASSERT_TRUE(keys("ctrl+z"));
    EXPECT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames; }));
    ASSERT_TRUE(keys("ctrl+shift+z"));
    EXPECT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames - 44100; }));
    ASSERT_TRUE(keys("ctrl+z"));
    ASSERT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames; }));
    m.setSelection(FrameRange{0, 44100});
    ASSERT_TRUE(keys("BackSpace"));
    EXPECT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames - 44100; }));
    ASSERT_TRUE(keys("ctrl+z"));
    ASSERT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames; }));
    // Copy, cut and paste.
    m.setSelection(FrameRange{0, 1000});
    ASSERT_TRUE(keys("ctrl+c"));
    EXPECT_TRUE(e.waitFor([&] { return EditOps::clipboard && (*EditOps::clipboard)[0].size() == 1000u; }));
    m.setSelection(FrameRange{0, 500});
    ASSERT_TRUE(keys("ctrl+x"));
    EXPECT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames - 500; }));
    m.setSelection(std::nullopt);
    ASSERT_TRUE(keys("ctrl+v"));
    EXPECT_TRUE(e.waitFor([&] { return m.doc()->frames() == frames; }));
    ASSERT_TRUE(keys("End"));
    EXPECT_TRUE(e.waitFor([&] { return m.cursor() == frames; }));
    ASSERT_TRUE(keys("Home"));
    EXPECT_TRUE(e.waitFor([&] { return m.cursor() == 0; }));
    const int64_t length = m.viewLength();
    ASSERT_TRUE(keys("plus"));
    EXPECT_TRUE(e.waitFor([&] { return m.viewLength() < length; }));
    const int64_t closer = m.viewLength();
    ASSERT_TRUE(keys("minus"));
    EXPECT_TRUE(e.waitFor([&] { return m.viewLength() > closer; }));
    ASSERT_TRUE(keys("Right"));
    EXPECT_TRUE(e.waitFor([&] { return m.cursor() == m.viewLength() / 20; }));
    ASSERT_TRUE(keys("Left"));
    EXPECT_TRUE(e.waitFor([&] { return m.cursor() == 0; }));

    // A text field with the focus keeps the keys it edits with; what is
    // typed reaches it.
    e.setExpert(true);
    pump();
    auto* crossfade = window.findChild<QSpinBox*>("crossfade");
    ASSERT_TRUE(crossfade && crossfade->isVisible());
    crossfade->setFocus();
    ASSERT_TRUE(waitFor([&] { return crossfade->hasFocus(); }));
    m.setSelection(FrameRange{0, 44100});
    m.setCursor(1000);
    const int64_t view = m.viewLength();
    for (const char* key : {"Delete", "BackSpace", "Left", "minus", "ctrl+z", "ctrl+a"}) {
        ASSERT_TRUE(keys(key));
        EXPECT_EQ(m.doc()->frames(), frames) << key;
        EXPECT_EQ(m.selection(), (FrameRange{0, 44100})) << key;
        EXPECT_EQ(m.cursor(), 1000) << key;
        EXPECT_EQ(m.viewLength(), view) << key;
    }
    ASSERT_TRUE(keys("4"));
    ASSERT_TRUE(keys("5"));
    ASSERT_TRUE(keys("Return"));
    EXPECT_TRUE(e.waitFor([&] { return m.options().crossfadeMs == 45; })) << crossfade->text().toStdString();
    window.close();
}

TEST(WindowsDesktop, AWindowComesBackWhereItWasInsideItsFrame) {
    ASSERT_TRUE(session().ok()) << session().failure();
    test::TempDir dir;
    UserDefaults defaults(QString::fromStdString((dir / "d.ini").string()));
    // Two runs of a window over the same settings: the user moves and
    // sizes it in the first; the second shows it there.
    QRect placed, framed;
    for (const bool first : {true, false}) {
        QWidget window;
        window.setMinimumSize(400, 300);
        WindowPlacement::install(window, defaults, QStringLiteral("desktop"));
        ASSERT_TRUE(activate(window));
        if (first) {
            window.setGeometry(210, 160, 700, 450);
            ASSERT_TRUE(waitFor([&] { return window.geometry() == QRect(210, 160, 700, 450); }))
                << window.geometry().x() << "," << window.geometry().y();
            // Settled with the window manager's frame around it.
            ASSERT_TRUE(waitFor([&] { return window.frameGeometry() != window.geometry(); }));
            placed = window.geometry();
            framed = window.frameGeometry();
            window.close();
            continue;
        }
        EXPECT_TRUE(waitFor([&] { return window.geometry() == placed && window.frameGeometry() == framed; }))
            << "came back at " << window.geometry().x() << "," << window.geometry().y() << " "
            << window.geometry().width() << "x" << window.geometry().height() << ", frame at "
            << window.frameGeometry().x() << "," << window.frameGeometry().y();
    }
}

TEST(WindowsDesktop, ARightClickOnASpeakerMutesItThroughItsMenu) {
    ASSERT_TRUE(session().ok()) << session().failure();
    test::TempDir dir;
    auto defaults = std::make_shared<UserDefaults>(QString::fromStdString((dir / "d.ini").string()));
    SettingsStore settings(defaults);
    ManualMainQueue queue;
    MonitorEngine engine(settings, defaults, queue);
    SpeakerMap map(engine);
    map.resize(600, 260);
    ASSERT_TRUE(activate(map));
    SpeakerButton* speaker = map.buttons().front();
    const QPoint at = speaker->mapToGlobal(speaker->rect().center());
    ASSERT_TRUE(session().xdotool({"mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y())}, pump));
    ASSERT_TRUE(session().xdotool({"click", "3"}, pump));
    QMenu* menu = nullptr;
    ASSERT_TRUE(waitFor([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == "speakerMenu" && w->isVisible()) menu = qobject_cast<QMenu*>(w);
        return menu != nullptr;
    })) << "the right-click opened no menu";
    QAction* mute = menu->findChild<QAction*>("mute");
    ASSERT_TRUE(mute);
    const QPoint item = menu->mapToGlobal(menu->actionGeometry(mute).center());
    ASSERT_TRUE(session().xdotool({"mousemove", "--sync", std::to_string(item.x()), std::to_string(item.y())}, pump));
    ASSERT_TRUE(session().xdotool({"click", "1"}, pump));
    EXPECT_TRUE(waitFor([&] { return engine.state().muted.contains(speaker->speaker()); }));
    EXPECT_TRUE(engine.state().solo.empty());
    EXPECT_EQ(speaker->look(), SpeakerButton::Look::silent);
}
