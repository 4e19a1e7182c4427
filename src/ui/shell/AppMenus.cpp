#include "ui/shell/AppMenus.h"

#include <QAction>
#include <QActionGroup>
#include <QMenuBar>

#include "app/core/SettingsStore.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppModel.h"
#include "ui/settings/AuditionSettings.h"

namespace qm {

QuillmarshCommands::QuillmarshCommands(AppModel& app, MenuHooks hooks, QObject* parent)
    : QObject(parent), app_(app), hooks_(std::move(hooks)) {
    addLibraryFolder = make(QStringLiteral("Add Library Folder…"), QKeySequence(Qt::CTRL | Qt::Key_O));
    openInEditor = make(QStringLiteral("Open in Editor"), QKeySequence(Qt::CTRL | Qt::Key_E));
    makeTempEdits = make(QStringLiteral("Make Temp Edits"), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_E));
    expertMode = make(QStringLiteral("Expert Mode"), QKeySequence(Qt::ALT | Qt::CTRL | Qt::Key_E));
    expertMode->setCheckable(true);
    playStop = make(QStringLiteral("Play / Stop"), QKeySequence(Qt::CTRL | Qt::Key_Return));
    toggleLoop = make(QStringLiteral("Toggle Loop"), QKeySequence(Qt::CTRL | Qt::Key_L));
    clearSelection = make(QStringLiteral("Clear Selection"), QKeySequence(Qt::CTRL | Qt::Key_D));
    openCopiedLink = make(QStringLiteral("Open Copied Link"), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_V));
    settings = make(QStringLiteral("Settings…"), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    quit = make(QStringLiteral("Quit Quillmarsh"), QKeySequence(Qt::CTRL | Qt::Key_Q));
    monitor = make(QStringLiteral("Monitor"), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_M));

    AppModel* a = &app_;
    const MenuHooks* h = &hooks_;
    connect(addLibraryFolder, &QAction::triggered, this, [a] { a->addLibraryFolder(); });
    // The file the player was asked for, also when it could not read it:
    // the editor then says why.
    connect(openInEditor, &QAction::triggered, this, [a] { a->openEditor(a->player().file()); });
    connect(makeTempEdits, &QAction::triggered, this, [a, h] {
        const auto& info = a->player().info();
        if (info && h->makeTempEdits) h->makeTempEdits({info->url});
    });
    connect(expertMode, &QAction::triggered, this, [a](bool on) {
        a->settings().update([on](AppSettings& s) { s.expertMode = on; });
    });
    connect(playStop, &QAction::triggered, this, [a] { a->player().togglePlay(); });
    connect(toggleLoop, &QAction::triggered, this, [a] { a->player().setLoop(!a->player().loop()); });
    connect(clearSelection, &QAction::triggered, this, [a] { a->player().clearSelection(); });
    connect(openCopiedLink, &QAction::triggered, this, [h] {
        if (h->openCopiedLink) h->openCopiedLink();
    });
    connect(settings, &QAction::triggered, this, [h] {
        if (h->openWindow) h->openWindow(QStringLiteral("settings"));
    });
    connect(quit, &QAction::triggered, this, [h] {
        if (h->quit) h->quit();
    });
    connect(monitor, &QAction::triggered, this, [h] {
        if (h->openWindow) h->openWindow(QStringLiteral("monitor"));
    });

    connect(&app_.player(), &PlayerModel::infoChanged, this, &QuillmarshCommands::refresh);
    connect(&app_.settings(), &SettingsStore::valueChanged, this, &QuillmarshCommands::refresh);
    refresh();
}

QAction* QuillmarshCommands::make(const QString& title, const QKeySequence& keys) {
    auto* action = new QAction(title, this);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::ApplicationShortcut);
    return action;
}

void QuillmarshCommands::refresh() {
    makeTempEdits->setEnabled(app_.player().info().has_value());
    const QSignalBlocker block(expertMode);
    expertMode->setChecked(app_.settings().value().expertMode);
}

QList<QAction*> QuillmarshCommands::all() const {
    return {addLibraryFolder, openInEditor,   makeTempEdits, expertMode, playStop, toggleLoop,
            clearSelection,   openCopiedLink, settings,      quit,       monitor};
}

void QuillmarshCommands::fillMenuBar(QMenuBar& bar) {
    QMenu* file = bar.addMenu(QStringLiteral("&File"));
    file->addAction(addLibraryFolder);
    file->addSeparator();
    file->addAction(openInEditor);
    file->addAction(makeTempEdits);
    file->addSeparator();
    file->addAction(settings);
    file->addSeparator();
    file->addAction(quit);
    QMenu* view = bar.addMenu(QStringLiteral("&View"));
    view->addAction(expertMode);
    QMenu* playback = bar.addMenu(QStringLiteral("&Playback"));
    playback->addAction(playStop);
    playback->addAction(toggleLoop);
    playback->addAction(clearSelection);
    playback->addSeparator();
    playback->addAction(openCopiedLink);
    QMenu* window = bar.addMenu(QStringLiteral("&Window"));
    window->addAction(monitor);
}

StatusMenu::StatusMenu(PlayerModel& player, SettingsStore& settings, MenuHooks hooks, QWidget* parent)
    : QMenu(QStringLiteral("Quillmarsh"), parent), player_(player), settings_(settings), hooks_(std::move(hooks)) {
    SettingsStore* store = &settings_;
    const auto toggle = [this, store](const QString& title, bool AppSettings::*field) {
        QAction* action = addAction(title);
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [store, field](bool on) {
            store->update([&](AppSettings& s) { s.*field = on; });
        });
        return action;
    };
    finderPanel = toggle(QStringLiteral("File Manager Panel"), &AppSettings::finderPanel);
    autoPlay = toggle(QStringLiteral("Auto-Play"), &AppSettings::autoPlay);
    spacePlays = toggle(QStringLiteral("Space Plays in File Manager"), &AppSettings::spacePlaysInFinder);
    waylandNote = addAction(QString::fromUtf8(kWaylandItem));
    waylandNote->setEnabled(false);
    waylandNote->setToolTip(QString::fromUtf8(AuditionSettings::kWaylandNote));
    waylandNote->setVisible(false);
    setToolTipsVisible(true);
    addSeparator();
    output = addMenu(QStringLiteral("Output"));
    outputs_ = new QActionGroup(this);
    outputs_->setExclusive(true);
    addSeparator();
    const MenuHooks* h = &hooks_;
    openCopiedLink = addAction(QStringLiteral("Open Copied Link"));
    connect(openCopiedLink, &QAction::triggered, this, [h] {
        if (h->openCopiedLink) h->openCopiedLink();
    });
    const auto opener = [this, h](const QString& title, const QString& id) {
        QAction* action = addAction(title);
        connect(action, &QAction::triggered, this, [h, id] {
            if (h->openWindow) h->openWindow(id);
        });
        return action;
    };
    showBrowser = opener(QStringLiteral("Show Browser"), QStringLiteral("main"));
    showEditor = opener(QStringLiteral("Show Editor"), QStringLiteral("editor"));
    showMonitor = opener(QStringLiteral("Show Monitor"), QStringLiteral("monitor"));
    settingsItem = opener(QStringLiteral("Settings…"), QStringLiteral("settings"));
    addSeparator();
    quitItem = addAction(QStringLiteral("Quit Quillmarsh"));
    connect(quitItem, &QAction::triggered, this, [h] {
        if (h->quit) h->quit();
    });

    connect(&settings_, &SettingsStore::valueChanged, this, &StatusMenu::refresh);
    connect(this, &QMenu::aboutToShow, this, &StatusMenu::refresh);
    refresh();
}

void StatusMenu::setWaylandSession(bool wayland) {
    finderPanel->setVisible(!wayland);
    spacePlays->setVisible(!wayland);
    waylandNote->setVisible(wayland);
}

void StatusMenu::refresh() {
    const AppSettings& s = settings_.value();
    for (auto [action, on] : {std::pair{finderPanel, s.finderPanel}, std::pair{autoPlay, s.autoPlay},
                              std::pair{spacePlays, s.spacePlaysInFinder}}) {
        const QSignalBlocker block(action);
        action->setChecked(on);
    }
    // The choices, keyed by id: profiles of the same name stay apart.
    for (QAction* old : outputs_->actions()) {
        outputs_->removeAction(old);
        output->removeAction(old);
        old->deleteLater();
    }
    const std::string active = settings_.activeProfile().id.uuidString();
    PlayerModel* player = &player_;
    for (const auto& profile : s.profiles) {
        QAction* choice = output->addAction(QString::fromStdString(profile.name));
        choice->setCheckable(true);
        const QString id = QString::fromStdString(profile.id.uuidString());
        choice->setData(id);
        choice->setChecked(profile.id.uuidString() == active);
        outputs_->addAction(choice);
        const Uuid key = profile.id;
        connect(choice, &QAction::triggered, this, [player, key] { player->selectProfile(key); });
    }
}

}  // namespace qm
