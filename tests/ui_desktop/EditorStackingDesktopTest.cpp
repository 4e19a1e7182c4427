// "Open in Editor" on a real window manager (openbox): every road to the
// editor leaves it in front of the library window and active, as the
// window manager's stacking order says.
#include <QAction>
#include <QApplication>
#include <QMenu>

#include <gtest/gtest.h>

#include <memory>

#include "app/editor/EditorModel.h"
#include "app/shell/AppFakes.h"
#include "app/shell/HandedFiles.h"
#include "platform/desktop/DesktopWindows.h"
#include "support/AudioFiles.h"
#include "support/DesktopSession.h"
#include "support/TempDir.h"
#include "ui/library/BrowserView.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/AppShell.h"
#include "ui/shell/RootViews.h"
#include "ui/shell/WindowRegistry.h"

using namespace qm;

namespace {

test::DesktopSession& session() { return test::sharedDesktopSession(); }

bool pump(const std::function<bool()>& condition, double seconds = 10) {
    return test::waitUntil(condition, seconds, [] { QApplication::processEvents(QEventLoop::AllEvents, 20); });
}

// A workspace that only brings the application forward, as the views
// install it.
class ForwardingWorkspace final : public FileReveal {
public:
    void reveal(const std::vector<std::filesystem::path>&) override {}
};

}  // namespace

TEST(EditorStackingDesktop, EveryRoadToTheEditorLeavesItInFrontAndActive) {
    ASSERT_TRUE(session().ok()) << session().failure();
    test::TempDir dir;
    const auto wav = dir / "tone.wav";
    test::writeTestFile(wav, 2, 4800, 48000);

    test::FakePieces pieces;
    AppPlatform platform = pieces.platform(dir.path());
    platform.workspace = std::make_unique<ForwardingWorkspace>();
    rootViews::complete(platform);
    platform.panel = nullptr;
    auto app = std::make_unique<AppModel>(std::move(platform));
    auto shell = std::make_unique<AppShell>(*app, MenuHooks{});
    auto desktop = makeX11DesktopWindows(session().display());

    auto windowOf = [&](const char* id) { return WindowId(shell->windows().window(QString::fromLatin1(id))->winId()); };
    auto inFront = [&](WindowId window) {
        desktop->dispatchEvents();
        const auto stack = desktop->clientsFrontToBack();
        return !stack.empty() && stack.front() == window && desktop->activeWindow() == window;
    };
    auto libraryInFront = [&] {
        shell->open(QStringLiteral("main"));
        const WindowId main = windowOf("main");
        // The toolkit knows of the focus too, as after a user's click.
        return pump([&] { return inFront(main) && QApplication::activeWindow() == shell->windows().window("main"); });
    };
    auto editorInFront = [&] { return pump([&] { return inFront(windowOf("editor")); }); };

    // The list's menu.
    ASSERT_TRUE(libraryInFront());
    auto* list = shell->windows().window("main")->findChild<BrowserView*>();
    ASSERT_NE(list, nullptr);
    QMenu* menu = list->contextMenu({wav}, list);
    menu->findChild<QAction*>(QStringLiteral("openInEditor"))->trigger();
    EXPECT_TRUE(editorInFront()) << "the list's \"Open in Editor\"";
    delete menu;

    // Ctrl+E in the library window.
    ASSERT_TRUE(libraryInFront());
    ASSERT_TRUE(session().xdotool({"key", "ctrl+e"}, [] { QApplication::processEvents(); }));
    EXPECT_TRUE(editorInFront()) << "Ctrl+E";

    // The control port's "editor".
    ASSERT_TRUE(libraryInFront());
    app->handle("editor", {});
    EXPECT_TRUE(editorInFront()) << "the editor command";

    // A second launch handing a file over.
    ASSERT_TRUE(libraryInFront());
    EXPECT_TRUE(openHandedFiles(*app, {wav}));
    EXPECT_TRUE(editorInFront()) << "a file handed over";

    app->editor().stop();
    shell.reset();
    app.reset();
}
