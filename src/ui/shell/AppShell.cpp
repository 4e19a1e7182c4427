#include "ui/shell/AppShell.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPointer>
#include <QSystemTrayIcon>

#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppModel.h"
#include "ui/editor/EditorWindow.h"
#include "ui/monitor/MonitorView.h"
#include "ui/settings/SettingsView.h"
#include "ui/shell/AppMenus.h"
#include "ui/shell/MainWindowContent.h"
#include "ui/shell/RootViews.h"
#include "ui/shell/WindowPlacement.h"
#include "ui/shell/WindowRegistry.h"
#include "ui/widgets/Icons.h"

namespace qm {

namespace {

std::unique_ptr<QWidget> frame(const QString& title, std::unique_ptr<QWidget> content, QuillmarshCommands& commands,
                               const QString& name) {
    auto window = std::make_unique<QMainWindow>();
    window->setObjectName(name);
    window->setWindowTitle(title);
    commands.fillMenuBar(*window->menuBar());
    window->setCentralWidget(content.release());
    return window;
}

}  // namespace

AppShell::AppShell(AppModel& app, MenuHooks hooks, QObject* parent)
    : QObject(parent), app_(app), registry_(std::make_unique<WindowRegistry>()) {
    QGuiApplication::setWindowIcon(icons::application());
    QPointer<AppShell> self(this);
    hooks.openWindow = [self](const QString& id) {
        if (self) self->open(id);
    };
    // Temp edits and the copied link are the root's unless the caller
    // answers them.
    QPointer<AppModel> root(&app_);
    if (!hooks.makeTempEdits)
        hooks.makeTempEdits = [root](const std::vector<std::filesystem::path>& files) {
            if (root) root->makeTempEdits(files);
        };
    if (!hooks.openCopiedLink)
        hooks.openCopiedLink = [root] {
            if (root) root->openCopiedLink();
        };
    quit_ = hooks.quit;
    commands_ = std::make_unique<QuillmarshCommands>(app_, hooks);
    status_ = std::make_unique<StatusMenu>(app_.player(), app_.settings(), hooks);
    status_->setWaylandSession(app_.waylandSession());

    AppModel* a = &app_;
    QuillmarshCommands* c = commands_.get();
    mainWindow::Hooks content{.openWindow = hooks.openWindow};
    registry_->add(QStringLiteral("main"), [a, c, content] {
        // Its content keeps the window at least 860 x 520, more as it needs.
        auto window =
            frame(QStringLiteral("Quillmarsh"), mainWindow::makeContent(*a, content), *c, QStringLiteral("main"));
        WindowPlacement::install(*window, a->settings().defaults(), QStringLiteral("main"));
        return window;
    });
    registry_->add(QStringLiteral("editor"), [a, c] {
        auto window = frame(QStringLiteral("Editor"),
                            std::make_unique<EditorWindow>(a->editor(), a->settings(), a->workspace()), *c,
                            QStringLiteral("editor"));
        WindowPlacement::install(*window, a->settings().defaults(), QStringLiteral("editor"));
        return window;
    });
    registry_->add(QStringLiteral("monitor"), [a, c] {
        auto window = frame(QStringLiteral("Monitor"), std::make_unique<MonitorView>(a->monitor(), a->settings()), *c,
                            QStringLiteral("monitor"));
        WindowPlacement::install(*window, a->settings().defaults(), QStringLiteral("monitor"),
                                 QSize(kMonitorWidth, kMonitorHeight));
        return window;
    });
    registry_->add(QStringLiteral("settings"), [a, c] {
        auto view = std::make_unique<SettingsView>(*a);
        // No menu bar, but the same keys.
        view->addActions(c->all());
        view->setObjectName(QStringLiteral("settings"));
        view->setWindowTitle(QStringLiteral("Settings"));
        return std::unique_ptr<QWidget>(std::move(view));
    });
    // Bringing the application forward afterwards (AppModel::openEditor)
    // keeps the window just opened in front.
    registry_->onOpened = rootViews::broughtForward;
    registry_->onLastClosed = [self] {
        if (self && !self->staysWithoutWindows() && self->quit_) self->quit_();
    };
    // Every showing installs the root's opener; the last one shown provides it.
    registry_->onShown = [a, self](const QString&) {
        a->openWindowAction = [self](const QString& id) {
            if (self) self->open(id);
        };
    };

    // On X11 the icon is made even before a tray runs: Qt embeds a shown
    // icon in a tray that starts later (a panel started after the program),
    // and takes it out when the tray goes.
    if (QSystemTrayIcon::isSystemTrayAvailable() || QGuiApplication::platformName() == QLatin1String("xcb")) {
        // The program's own icon: a monochrome symbol in the text colour of
        // the windows vanished on a panel of another shade.
        tray_ = std::make_unique<QSystemTrayIcon>(icons::application());
        tray_->setToolTip(QStringLiteral("Quillmarsh"));
        tray_->setContextMenu(status_.get());
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [self](QSystemTrayIcon::ActivationReason reason) {
            if (!self || reason != QSystemTrayIcon::Trigger) return;
            self->status_->popup(self->tray_->geometry().bottomLeft());
        });
        tray_->show();
    }
}

AppShell::~AppShell() {
    // The root must not call into windows that are going.
    app_.openWindowAction = nullptr;
    if (tray_) tray_->hide();
}

void AppShell::open(const QString& id) { registry_->open(id); }

bool AppShell::staysWithoutWindows() const {
    return tray_ && tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace qm
