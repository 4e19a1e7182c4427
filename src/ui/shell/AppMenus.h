// The application's menus: the commands of every window's menu bar
// (`QuillmarshCommands`: File, View, Playback, Window) and the tray menu
// (`StatusMenu`). Both only call the models; their checks and enabled
// states follow the models' announcements. On a Wayland session the tray
// menu offers neither the panel under the file manager nor Space in it: a
// disabled item says that the file manager is not followed there, its
// tooltip why.
//
// One QAction per command serves every menu bar; its shortcut works in any
// window of the application (Qt::ApplicationShortcut).
//
// Main thread only.
#pragma once

#include <QMenu>
#include <QObject>
#include <QString>

#include <filesystem>
#include <functional>
#include <vector>

class QAction;
class QActionGroup;
class QMenuBar;

namespace qm {

class AppModel;
class PlayerModel;
class SettingsStore;

// What the menus ask of the application beyond the models.
struct MenuHooks {
    // Opens a window by id ("main", "editor", "monitor", "settings") and
    // brings it forward.
    std::function<void(const QString& id)> openWindow;
    // Temp edits of these files; the copied link (AppShell makes them the
    // root's when absent).
    std::function<void(const std::vector<std::filesystem::path>&)> makeTempEdits;
    std::function<void()> openCopiedLink;
    std::function<void()> quit;
};

class QuillmarshCommands : public QObject {
    Q_OBJECT

public:
    QuillmarshCommands(AppModel& app, MenuHooks hooks, QObject* parent = nullptr);

    // Adds File, View, Playback and Window menus of the shared actions.
    void fillMenuBar(QMenuBar& bar);
    // Every action, for a window without a menu bar whose keys must work.
    QList<QAction*> all() const;

    QAction* addLibraryFolder;
    QAction* openInEditor;
    QAction* makeTempEdits;
    QAction* expertMode;
    QAction* playStop;
    QAction* toggleLoop;
    QAction* clearSelection;
    QAction* openCopiedLink;
    QAction* settings;
    QAction* quit;
    QAction* monitor;

    void refresh();

private:
    QAction* make(const QString& title, const QKeySequence& keys);

    AppModel& app_;
    MenuHooks hooks_;
};

class StatusMenu : public QMenu {
    Q_OBJECT

public:
    StatusMenu(PlayerModel& player, SettingsStore& settings, MenuHooks hooks, QWidget* parent = nullptr);

    static constexpr const char* kWaylandItem = "File Manager Not Followed on Wayland";

    QAction* finderPanel;
    QAction* autoPlay;
    QAction* spacePlays;
    // Shown on a Wayland session in place of the file-manager items.
    QAction* waylandNote;
    QMenu* output;
    QAction* openCopiedLink;
    QAction* showBrowser;
    QAction* showEditor;
    QAction* showMonitor;
    QAction* settingsItem;
    QAction* quitItem;

    // Checks and the output choices as the settings are now.
    void refresh();
    void setWaylandSession(bool wayland);

private:
    PlayerModel& player_;
    SettingsStore& settings_;
    MenuHooks hooks_;
    QActionGroup* outputs_;
};

}  // namespace qm
