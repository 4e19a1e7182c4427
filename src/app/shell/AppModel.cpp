#include "app/shell/AppModel.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUrl>

#include "app/core/EventLoopQueue.h"
#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "app/editor/EditorModel.h"
#include "app/library/LibraryModel.h"
#include "app/monitor/MonitorEngine.h"
#include "app/player/PlayerModel.h"
#include "app/shell/Accessibility.h"
#include "app/shell/BatchTempEdits.h"
#include "app/shell/CommandRouter.h"
#include "app/shell/FinderTracker.h"
#include "app/shell/FloatingPanel.h"
#include "app/shell/FolderChooser.h"
#include "app/shell/KeyTap.h"
#include "playback/PlaybackEngine.h"
#include "platform/desktop/DesktopWindows.h"
#include "platform/desktop/FileManagerAccessibility.h"
#include "platform/desktop/KeyTapX11.h"
#include "platform/desktop/SessionKind.h"
#include "platform/desktop/Workstations.h"

namespace qm {

namespace fs = std::filesystem;

// What a change must touch for the player to reconfigure its output.
struct AppModel::ProfileKey {
    std::vector<OutputProfile> profiles;
    std::optional<Uuid> activeProfileID;
    bool monoToCenter = true;

    explicit ProfileKey(const AppSettings& s)
        : profiles(s.profiles), activeProfileID(s.activeProfileID), monoToCenter(s.monoToCenter) {}
    bool operator==(const ProfileKey&) const = default;
};

AppPlatform::AppPlatform() = default;
AppPlatform::AppPlatform(AppPlatform&&) noexcept = default;
AppPlatform& AppPlatform::operator=(AppPlatform&&) noexcept = default;
AppPlatform::~AppPlatform() = default;

std::optional<fs::path> AppPlatform::standardDataFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (folder.isEmpty()) return std::nullopt;
    fs::path path(folder.toStdString());
    if (!path.is_absolute()) return std::nullopt;
    return path;
}

AppPlatform AppPlatform::desktop() {
    AppPlatform p;
    p.defaults = UserDefaults::standard();
    p.dataFolder = standardDataFolder();
    p.windows = makeX11DesktopWindows();
    p.fileManager = makeAtspiFileManagerAccessibility();
    p.tap = makeKeyTapX11();
    DesktopWindows* windows = p.windows.get();
    p.accessibility = std::make_unique<BusAccessibility>(QDBusConnection::sessionBus(),
                                                         [windows] { return windows->available(); });
    p.workspace = std::make_unique<DesktopFileReveal>();
    p.waylandSession = sessionKind::isWayland(sessionKind::Environment::current());
    return p;
}

fs::path AppModel::catalogLocation(const std::optional<fs::path>& dataFolder) {
    if (!dataFolder || dataFolder->empty()) return {};
    return *dataFolder / "Quillmarsh" / "Catalog.sqlite";
}

AppModel& AppModel::shared(const std::function<void(AppPlatform&)>& complete) {
    static AppModel* root = [&] {
        Q_ASSERT(QCoreApplication::instance());
        AppPlatform platform = AppPlatform::desktop();
        if (complete) complete(platform);
        // Lives as long as the process; quitting ends it without a tear-down.
        return new AppModel(std::move(platform));
    }();
    return *root;
}

AppModel::AppModel(AppPlatform platform, QObject* parent) : QObject(parent), platform_(std::move(platform)) {
    if (!platform_.defaults) platform_.defaults = UserDefaults::standard();
    queue_ = std::make_unique<EventLoopQueue>();
    QPointer<AppModel> self(this);

    // In this order, since later models receive earlier ones. The settings,
    // then the one engine the player and the editor share.
    settings_ = std::make_unique<SettingsStore>(platform_.defaults);
    engine_ = std::make_unique<PlaybackEngine>(*queue_);
    // The tracker (its observer attaches while accessibility is on) and the
    // key tap, neither started.
    finder_ = std::make_unique<FinderTracker>(*platform_.windows, *platform_.fileManager, *queue_,
                                              [self] { return self && self->axTrusted_; });
    keyTap_ = std::make_unique<KeyTap>(*platform_.windows, *platform_.tap);
    // Accessibility as it is now, asked once.
    axTrusted_ = platform_.accessibility->trusted();
    // The control port, no listener and no handler yet.
    control_ = std::make_unique<ControlServer>(platform_.controlPort);
    player_ = std::make_unique<PlayerModel>(*engine_, *settings_);
    editor_ = std::make_unique<EditorModel>(*engine_, *settings_);
    library_ = std::make_unique<LibraryModel>(*settings_, catalogLocation(platform_.dataFolder));
    monitor_ = std::make_unique<MonitorEngine>(*settings_, platform_.defaults, *queue_);
    if (platform_.insertWindows) platform_.insertWindows(*monitor_);
    // The control port's command table.
    if (!platform_.workstations) platform_.workstations = makeDesktopWorkstations(*platform_.windows);
    CommandRouter::Actions actions;
    actions.openEditor = [self](const std::optional<fs::path>& url) {
        if (self) self->openEditor(url);
    };
    actions.makeTempEdits = [self](const std::vector<fs::path>& urls) {
        if (self) self->makeTempEdits(urls);
    };
    actions.openCopiedLink = [self] {
        if (self) self->openCopiedLink();
    };
    router_ = std::make_unique<CommandRouter>(*settings_, *player_, *editor_, *monitor_, *platform_.workstations,
                                              std::move(actions));

    // Exclusive playback. The editor about to play stops the player,
    // whose playhead goes back to its selection start or cue; the player
    // about to play makes the editor let go of the engine.
    editor_->onWillPlay = [self] {
        if (self) self->player_->stop();
    };
    player_->onWillPlay = [self] {
        if (self) self->editor_->yield();
    };

    // A revealed temp-edit batch shows in the file manager.
    connect(editor_.get(), &EditorModel::revealRequested, this,
            [this](const std::vector<fs::path>& items) { platform_.workspace->reveal(items); });
}

AppModel::~AppModel() {
    hud_.reset();
    if (trustTimer_) trustTimer_->stop();
    finder_->onSelection = nullptr;
    finder_->onState = nullptr;
    finder_->onAutomationDenied = nullptr;
    keyTap_->spaceHandler = nullptr;
    keyTap_->finderInput = nullptr;
    control_->setHandler({});
    editor_->onWillPlay = nullptr;
    player_->onWillPlay = nullptr;
    player_->stopPlayback();
    editor_->stop();
    monitor_->stop();
}

void AppModel::openWindow(const QString& id) {
    if (openWindowAction) openWindowAction(id);
}

void AppModel::start() {
    if (started_) return;
    started_ = true;
    QPointer<AppModel> self(this);

    // The control port.
    control_->setHandler([self](const std::string& command, const ControlServer::Parameters& parameters) {
        if (!self) return nlohmann::json::object();
        return self->handle(command, parameters);
    });
    control_->start();
    // Another program on the port (often a second copy started apart from
    // this one): said once, in the log and on the message line.
    if (!control_->isListening()) {
        const std::string text =
            "Control port " + std::to_string(platform_.controlPort) + " is in use; remote commands are off";
        qWarning("Quillmarsh: %s", text.c_str());
        player_->setMessage(text);
    }

    // The floating panel, as the setting says.
    if (platform_.panel) hud_ = platform_.panel(*this);
    if (hud_) {
        hud_->setIsAmbisonic([self] {
            if (!self) return false;
            const auto source = self->player_->source();
            return source && source->isAmbisonic();
        });
        hud_->setEnabled(settings_->value().finderPanel);
        const auto changed = [this] {
            if (hud_) hud_->playerChanged();
        };
        for (auto signal : {&PlayerModel::infoChanged, &PlayerModel::formatOverrideChanged,
                            &PlayerModel::isPlayingChanged, &PlayerModel::messageChanged})
            connect(player_.get(), signal, this, changed);
    }

    // The file manager.
    finder_->onState = [self](bool active, const std::optional<DesktopRect>& frame) {
        if (self && self->hud_) self->hud_->update(active, frame);
    };
    finder_->onSelection = [self](const std::optional<fs::path>& url) {
        if (!self || !url) return;  // nothing (or no audio) selected: the player keeps its file
        const AppSettings& s = self->settings_->value();
        if (s.finderPanel) self->player_->load(*url, s.autoPlay);
    };
    finder_->onAutomationDenied = [self](bool) {
        if (self) self->setAutomationDenied(self->finder_->deniedFileManager());
    };
    finder_->start();

    // The key tap.
    keyTap_->spaceHandler = [self](bool repeat) { return self && self->space(repeat); };
    keyTap_->finderInput = [self] {
        if (self) self->finder_->requestSelection(kFinderInputDelay);
    };

    watchAccessibility();

    // Output profiles: each change of the profiles, the active one or the
    // mono fold reaches the player one turn of the loop after it was stored;
    // the value of now does not.
    lastProfiles_ = std::make_unique<ProfileKey>(settings_->value());
    connect(settings_.get(), &SettingsStore::valueChanged, this, [this] {
        ProfileKey key(settings_->value());
        QMetaObject::invokeMethod(
            this,
            [this, key = std::move(key)]() mutable {
                if (*lastProfiles_ == key) return;
                *lastProfiles_ = std::move(key);
                player_->profileChanged();
            },
            Qt::QueuedConnection);
    });

    // The panel setting, the value of now included, one turn later.
    const auto deliverPanel = [this](bool on) {
        QMetaObject::invokeMethod(
            this,
            [this, on] {
                if (lastPanelFlag_ == on) return;
                lastPanelFlag_ = on;
                if (hud_) hud_->setEnabled(on);
            },
            Qt::QueuedConnection);
    };
    deliverPanel(settings_->value().finderPanel);
    connect(settings_.get(), &SettingsStore::valueChanged, this,
            [this, deliverPanel] { deliverPanel(settings_->value().finderPanel); });
}

bool AppModel::space(bool repeat) {
    const AppSettings& s = settings_->value();
    if (!s.finderPanel || !s.spacePlaysInFinder) return false;
    const std::optional<fs::path> audio = finder_->currentAudio();
    if (!audio) return false;
    if (finder_->isEditingText()) return false;
    if (repeat) return true;  // a held Space neither toggles nor loads again
    if (player_->info() && player_->info()->url == *audio)
        player_->togglePlay();
    else
        player_->load(*audio, true);
    return true;
}

void AppModel::watchAccessibility() {
    // Trust once seen stays: the banner never comes back within a run (and
    // a bus that answered yes is not asked again).
    if (!axTrusted_ && platform_.accessibility->trusted()) setAxTrusted(true);
    if (axTrusted_) {
        keyTap_->start();
        return;
    }
    trustTimer_ = std::make_unique<QTimer>();
    trustTimer_->setInterval(kTrustPollMs);
    connect(trustTimer_.get(), &QTimer::timeout, this, &AppModel::trustTick);
    trustTimer_->start();
}

void AppModel::trustTick() {
    // One question at a time: a bus slower than the poll is not asked twice.
    if (trustCheckPending_) return;
    trustCheckPending_ = true;
    QPointer<AppModel> self(this);
    platform_.accessibility->checkTrusted([self](bool trusted) {
        if (!self) return;
        self->trustCheckPending_ = false;
        if (!trusted || !self->trustTimer_ || !self->trustTimer_->isActive()) return;
        self->trustTimer_->stop();
        self->setAxTrusted(true);
        self->keyTap_->start();
        self->finder_->refreshAX();
    });
}

void AppModel::setAxTrusted(bool on) {
    if (axTrusted_ == on) return;
    axTrusted_ = on;
    emit axTrustedChanged();
}

void AppModel::setAutomationDenied(std::optional<fileManagers::Kind> refuser) {
    if (deniedFileManager_ == refuser) return;
    deniedFileManager_ = refuser;
    emit automationDeniedChanged();
}

void AppModel::openEditor(const std::optional<fs::path>& url) {
    if (url) editor_->open(*url);
    openWindow(QStringLiteral("editor"));
    platform_.workspace->activate();
}

void AppModel::addLibraryFolder() {
    if (!platform_.folders) return;
    const auto chosen = platform_.folders->chooseFolders(QString::fromUtf8(kAddToLibrary));
    if (!chosen) return;
    for (const auto& folder : *chosen) library_->addRoot(folder);
    if (!chosen->empty()) library_->open(chosen->front());
}

void AppModel::requestAccessibility() { platform_.accessibility->grant(); }

void AppModel::openAutomationSettings() { platform_.accessibility->grant(); }

void AppModel::makeTempEdits(const std::vector<fs::path>& urls) {
    // The folders now, so a later change of the settings moves nothing.
    auto sources = BatchTempEdits::prepare(urls, *settings_);
    if (sources.empty()) return;
    player_->setMessage(BatchTempEdits::startText(sources.size()));
    const uint64_t limit = editor_->loadLimitBytes();
    QPointer<AppModel> self(this);
    // Texts and the reveal reach the root on the main thread, in order.
    const auto onMain = [self](std::function<void(AppModel&)> step) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, step = std::move(step)] {
                if (self) step(*self);
            },
            Qt::QueuedConnection);
    };
    QThreadPool::globalInstance()->start([sources = std::move(sources), limit, onMain] {
        const auto outcome = BatchTempEdits::run(sources, limit, [&](const std::string& text) {
            onMain([text](AppModel& app) { app.player_->setMessage(text); });
        });
        onMain([outcome](AppModel& app) {
            app.player_->setMessage(BatchTempEdits::finalText(outcome));
            if (!outcome.written.empty()) app.platform_.workspace->reveal(outcome.written);
        });
    });
}

void AppModel::openCopiedLink() {
    // One at a time: each would fill the same folder, and requests come
    // from the menu and the control port alike.
    if (downloading_) {
        player_->setMessage(LinkLoader::kBusyText);
        return;
    }
    const QString text = (platform_.clipboard ? platform_.clipboard() : QString()).trimmed();
    const QUrl url(text, QUrl::StrictMode);
    // The scheme as typed: "HTTPS://x" is no link here.
    const QString scheme = text.left(text.indexOf(QLatin1Char(':')));
    if (text.isEmpty() || !url.isValid() || url.scheme().isEmpty() || text.indexOf(QLatin1Char(':')) < 0 ||
        !scheme.startsWith(QLatin1String("http"))) {
        player_->setMessage("Copy a link first");
        return;
    }
    const AppSettings& s = settings_->value();
    const auto tool = LinkLoader::ytDlp(s.ytDlpPath, downloadOptions_.toolLocations);
    if (!tool) {
        player_->setMessage(LinkLoader::kNotFoundText);
        return;
    }
    const QString host = url.host();
    player_->setMessage("Downloading audio from " + (host.isEmpty() ? std::string("link") : host.toStdString()) +
                        "\u2026");
    const fs::path folder = fs::path(s.pullsFolder) / "Links";
    QPointer<AppModel> self(this);
    downloading_ = true;
    LinkLoader::download(
        text.toStdString(), folder, *tool,
        [self](const LinkLoader::DownloadResult& result) {
            if (!self) return;
            self->downloading_ = false;
            if (!result.file) {
                self->player_->setMessage(result.error);
                return;
            }
            self->player_->setMessage(std::nullopt);
            self->player_->load(*result.file, true);
            self->library_->open(result.file->parent_path());
        },
        downloadOptions_, this);
}

nlohmann::json AppModel::handle(const std::string& command, const ControlServer::Parameters& parameters) {
    return router_->handle(command, parameters);
}

}  // namespace qm
