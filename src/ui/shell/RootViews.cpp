#include "ui/shell/RootViews.h"

#include <QApplication>
#include <QClipboard>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include "app/core/FileReveal.h"
#include "app/shell/AppModel.h"
#include "ui/shell/FolderDialog.h"
#include "ui/monitor/InsertPanel.h"
#include "ui/shell/HUDController.h"

namespace qm::rootViews {

namespace {

// The top-level window that held the focus last (the panel never takes it).
QPointer<QWidget>& lastWindow() {
    static QPointer<QWidget> window;
    return window;
}

void raiseLastWindow() {
    QWidget* window = lastWindow();
    if (!window || !window->isVisible()) {
        window = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible() && !top->testAttribute(Qt::WA_ShowWithoutActivating)) {
                window = top;
                break;
            }
    }
    if (!window) return;
    window->raise();
    window->activateWindow();
}

}  // namespace

void broughtForward(QWidget* window) {
    if (window) lastWindow() = window->window();
}

void complete(AppPlatform& platform) {
    static const bool watching = [] {
        QObject::connect(qApp, &QApplication::focusChanged, qApp, [](QWidget*, QWidget* now) {
            if (now) lastWindow() = now->window();
        });
        return true;
    }();
    (void)watching;

    platform.panel = [](AppModel& app) -> std::unique_ptr<FloatingPanel> {
        auto hud = std::make_unique<HUDController>(&app.windows());
        QPointer<AppModel> root(&app);
        hud->hostPlayer(app.player(), app.settings(), &app.editor(), [root](const QString& id) {
            if (root) root->openWindow(id);
        });
        return hud;
    };
    platform.folders = std::make_unique<FolderDialog>();
    platform.clipboard = [] { return QGuiApplication::clipboard()->text(); };
    platform.insertWindows = installInsertWindows;
    if (platform.workspace) platform.workspace->setActivator(raiseLastWindow);
}

}  // namespace qm::rootViews
