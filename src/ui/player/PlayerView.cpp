#include "ui/player/PlayerView.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <fmt/format.h>

#include <cmath>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "app/player/PlayerModel.h"
#include "ui/player/TimeLabel.h"
#include "ui/player/WaveformBinder.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/FileDrag.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/MessageLine.h"
#include "ui/widgets/Style.h"
#include "ui/widgets/UpmixTexts.h"

namespace qm {

using namespace widgets;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// The file's icon, which starts a drag once the pointer moved far enough.
class FileIcon : public QLabel {
public:
    std::function<void()> onDrag;
    using QLabel::QLabel;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        event->accept();
        if (event->button() == Qt::LeftButton) press_ = event->position();
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        event->accept();
        if (!press_ || !(event->buttons() & Qt::LeftButton)) return;
        if ((event->position() - *press_).manhattanLength() < QApplication::startDragDistance()) return;
        press_.reset();
        if (onDrag) onDrag();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        event->accept();
        press_.reset();
    }

private:
    std::optional<QPointF> press_;
};

// Takes the actions out of a menu. They go later: one of them may be the
// action whose signal is being delivered.
void resetMenu(QMenu* menu) {
    for (QAction* a : menu->actions()) {
        menu->removeAction(a);
        if (a->parent() == menu) a->deleteLater();
    }
}

QAction* addChoice(QMenu* menu, const QString& text, bool checked, std::function<void()> action) {
    QAction* a = menu->addAction(text);
    a->setCheckable(true);
    a->setChecked(checked);
    QObject::connect(a, &QAction::triggered, menu, [action = std::move(action)] { action(); });
    return a;
}

bool isMonoOrStereo(const std::optional<SourceFormat>& source) {
    const auto* list = source ? source->speakerList() : nullptr;
    return list && (*list == std::vector<SpeakerID>{SpeakerID::C} ||
                    *list == std::vector<SpeakerID>{SpeakerID::L, SpeakerID::R});
}

double durationOf(const AudioFileInfo& info) {
    return info.sampleRate > 0 ? static_cast<double>(info.frames) / info.sampleRate : 0.0;
}

void showIf(QWidget* widget, bool shown) {
    if (widget->isHidden() == shown) widget->setVisible(shown);
}

}  // namespace

QString PlayerView::listenLabel(ListenMode mode) {
    switch (mode) {
        case ListenMode::normal: return QStringLiteral("Stereo");
        case ListenMode::mono: return QStringLiteral("Mono sum");
        case ListenMode::left: return QStringLiteral("Left only");
        case ListenMode::right: return QStringLiteral("Right only");
        case ListenMode::midSide: return QStringLiteral("M/S decode");
    }
    return {};
}

QString PlayerView::angleText(double degrees) { return qs(fmt::format("{:+4.0f}°", degrees)); }

QString PlayerView::factsText(const AudioFileInfo& info) {
    return qs(info.summary() + " · " + PlayerModel::time(durationOf(info)));
}

PlayerView::PlayerView(WaveformView::Style style, PlayerModel& player, SettingsStore& settings, EditorModel* editor,
                       WindowOpener openWindow, QWidget* parent)
    : QWidget(parent),
      style_(style),
      player_(player),
      settings_(settings),
      editor_(editor),
      openWindow_(std::move(openWindow)) {
    setFont(style::font(11));
    auto* body = new QVBoxLayout(this);
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(6);
    body->addWidget(buildHeader());
    waveform_ = named(new WaveformView(this), "waveform");
    waveform_->setMinimumHeight(kMinimumStripHeight);
    waveform_->setCornerRadius(4);
    new WaveformBinder(style, player, *waveform_);
    body->addWidget(waveform_, 1);
    body->addWidget(buildFooter());
    // The player's message with a file loaded: a line of its own, whole.
    message_ = named(new MessageLine(this), "message");
    body->addWidget(message_);
    body->addWidget(buildRotationRow());

    for (auto signal : {&PlayerModel::infoChanged, &PlayerModel::isPlayingChanged, &PlayerModel::selectionChanged,
                        &PlayerModel::loopChanged, &PlayerModel::formatOverrideChanged, &PlayerModel::listenChanged,
                        &PlayerModel::rotationChanged, &PlayerModel::dragExportChanged, &PlayerModel::upmixChanged,
                        &PlayerModel::volumeDBChanged, &PlayerModel::messageChanged, &PlayerModel::outputChanged})
        connect(&player, signal, this, &PlayerView::refresh);
    connect(&settings, &SettingsStore::valueChanged, this, &PlayerView::refresh);
    applyColours();
    refresh();
}

void PlayerView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) applyColours();
}

void PlayerView::applyColours() {
    const QPalette& pal = palette();
    const QColor secondary = style::secondaryLabel(pal);
    for (QWidget* w : {static_cast<QWidget*>(facts_), static_cast<QWidget*>(time_),
                       static_cast<QWidget*>(bextText_), static_cast<QWidget*>(output_),
                       static_cast<QWidget*>(soundfield_)})
        style::setTextColour(w, secondary);
    style::setTextColour(sel_, style::readable(style::accent(pal), style::windowBackground(pal)));
    colourStatus();
    levelIcon_->setPixmap(icons::ownPixmap("speaker.wave.2", 14, secondary, devicePixelRatioF()));
}

void PlayerView::colourStatus() {
    // Why no file is loaded reads as a warning, the invitation as a hint, in
    // the colours of the palette it is shown in now (the floating panel's
    // is dark).
    style::setTextColour(status_, player_.message() ? style::warning(palette()) : style::secondaryLabel(palette()));
}

// --- Building ---

QWidget* PlayerView::buildHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    const auto small = ControlSize::small;

    auto* icon = named(new FileIcon(header), "fileIcon");
    icon->setFixedSize(18, 18);
    icon->setToolTip(QStringLiteral("Drag the whole file into your DAW (uses the Drag mode)"));
    icon->onDrag = [this] { dragFile(); };
    icon_ = icon;
    name_ = named(new ElidedLabel(Qt::ElideMiddle, header), "name");
    name_->setFont(style::font(12, QFont::DemiBold));
    facts_ = named(new ElidedLabel(Qt::ElideRight, header), "facts");
    status_ = named(new QLabel(header), "status");
    // The name keeps its width before the facts give up theirs.
    name_->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    name_->setMaximumWidth(360);
    row->addWidget(icon_, 0, Qt::AlignVCenter);
    row->addWidget(name_, 0, Qt::AlignVCenter);
    row->addWidget(facts_, 0, Qt::AlignVCenter);
    row->addWidget(status_, 0, Qt::AlignVCenter);
    row->addStretch(1);

    format_ = named(menuButton("Format", "How the channels are interpreted", small, header), "format");
    connect(format_->menu(), &QMenu::aboutToShow, this, &PlayerView::fillFormatMenu);
    listen_ = named(menuButton("", "Monitor mode for stereo files", small, header), "listen");
    connect(listen_->menu(), &QMenu::aboutToShow, this, &PlayerView::fillListenMenu);

    upmix_ = named(textButton("Upmix", "", small, header), "upmix");
    upmix_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    upmix_->setMenu(new QMenu(upmix_));
    upmix_->menu()->setToolTipsVisible(true);
    // The button itself toggles; its arrow opens the presets.
    upmix_->setPopupMode(QToolButton::MenuButtonPopup);
    upmix_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(upmix_, &QToolButton::clicked, this, &PlayerView::toggleUpmix);
    connect(upmix_->menu(), &QMenu::aboutToShow, this, &PlayerView::fillUpmixMenu);

    profile_ = named(menuButton("", "Output profile", small, header), "profile");
    profile_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(profile_->menu(), &QMenu::aboutToShow, this, &PlayerView::fillProfileMenu);

    editorButton_ = named(
        symbolButton("scissors", "Open in the editor (Ctrl+E): pins the intro, loop and ending, makes temp edits",
                     small, header),
        "editor");
    connect(editorButton_, &QToolButton::clicked, this, &PlayerView::openInEditor);
    loop_ = named(asSwitch(symbolButton("repeat", "Loop (selection or whole file)", small, header)), "loop");
    loop_->setAccessibleName(QStringLiteral("Loop"));
    connect(loop_, &QToolButton::toggled, this, [this](bool on) { player_.setLoop(on); });
    autoPlay_ = named(asSwitch(symbolButton("play.square.stack", "Auto-play on selection", small, header)), "autoPlay");
    autoPlay_->setAccessibleName(QStringLiteral("Auto-play"));
    connect(autoPlay_, &QToolButton::toggled, this,
            [this](bool on) { settings_.update([on](AppSettings& s) { s.autoPlay = on; }); });
    for (QWidget* w : {static_cast<QWidget*>(format_), static_cast<QWidget*>(listen_), static_cast<QWidget*>(upmix_),
                       static_cast<QWidget*>(profile_), static_cast<QWidget*>(editorButton_),
                       static_cast<QWidget*>(loop_), static_cast<QWidget*>(autoPlay_)})
        row->addWidget(w, 0, Qt::AlignVCenter);
    return header;
}

QWidget* PlayerView::buildFooter() {
    auto* footer = new QWidget(this);
    auto* row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    const auto small = ControlSize::small;

    play_ = named(symbolButton("play.fill", "", small, footer), "play");
    play_->setFixedWidth(std::max(play_->sizeHint().width(), 14));
    connect(play_, &QToolButton::clicked, this, [this] { player_.togglePlay(); });
    row->addWidget(play_, 0, Qt::AlignVCenter);

    time_ = named(new TimeLabel(*player_.playhead(), footer), "time");
    sel_ = named(new QLabel(footer), "sel");
    sel_->setFont(style::font(11, QFont::Normal, true));
    clearSelection_ = named(symbolButton("xmark.circle.fill", "Clear selection", small, footer), "clearSelection");
    connect(clearSelection_, &QToolButton::clicked, this, [this] { player_.clearSelection(); });
    bext_ = named(new QWidget(footer), "bext");
    auto* bextRow = new QHBoxLayout(bext_);
    bextRow->setContentsMargins(0, 0, 0, 0);
    bextText_ = new ElidedLabel(Qt::ElideRight, bext_);
    bextRow->addWidget(bextText_);
    bext_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    for (QWidget* w : {static_cast<QWidget*>(time_), static_cast<QWidget*>(sel_),
                       static_cast<QWidget*>(clearSelection_)})
        row->addWidget(w, 0, Qt::AlignVCenter);
    row->addWidget(bext_, 1, Qt::AlignVCenter);
    row->addStretch(1);
    // Where the sound goes, named by its system, as the status line says it.
    output_ = named(new ElidedLabel(Qt::ElideRight, footer), "output");
    row->addWidget(output_, 0, Qt::AlignVCenter);


    dragAs_ = named(new QWidget(footer), "dragAs");
    auto* dragRow = new QHBoxLayout(dragAs_);
    dragRow->setContentsMargins(0, 0, 0, 0);
    dragRow->setSpacing(4);
    dragRow->addWidget(new QLabel(QStringLiteral("Drag as"), dragAs_));
    dragAsMenu_ = named(menuButton("", "What a drag into the DAW delivers", small, dragAs_), "dragAsMenu");
    connect(dragAsMenu_->menu(), &QMenu::aboutToShow, this, &PlayerView::fillDragMenu);
    dragRow->addWidget(dragAsMenu_);
    dragAs_->setToolTip(dragAsMenu_->toolTip());
    row->addWidget(dragAs_, 0, Qt::AlignVCenter);

    level_ = named(new QWidget(footer), "level");
    auto* levelRow = new QHBoxLayout(level_);
    levelRow->setContentsMargins(0, 0, 0, 0);
    levelRow->setSpacing(4);
    levelIcon_ = new QLabel(level_);
    levelRow->addWidget(levelIcon_);
    levelSlider_ = named(new QSlider(Qt::Horizontal, level_), "levelSlider");
    levelSlider_->setRange(static_cast<int>(kMinLevelDB * kLevelSteps), static_cast<int>(kMaxLevelDB * kLevelSteps));
    levelSlider_->setFixedWidth(80);
    connect(levelSlider_, &QSlider::valueChanged, this,
            [this](int v) { player_.setVolumeDB(static_cast<double>(v) / kLevelSteps); });
    levelRow->addWidget(levelSlider_);
    row->addWidget(level_, 0, Qt::AlignVCenter);
    return footer;
}

QWidget* PlayerView::buildRotationRow() {
    rotation_ = named(new QWidget(this), "rotation");
    auto* row = new QHBoxLayout(rotation_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    soundfield_ = new QLabel(QStringLiteral("Soundfield"), rotation_);
    row->addWidget(soundfield_, 0, Qt::AlignVCenter);
    struct Axis {
        const char* title;
        const char* name;
        const char* valueName;
        double range;
        double Rotation::*field;
    };
    const Axis axes[3] = {{"Yaw", "yaw", "yawValue", 180, &Rotation::yaw},
                          {"Pitch", "pitch", "pitchValue", 90, &Rotation::pitch},
                          {"Roll", "roll", "rollValue", 180, &Rotation::roll}};
    for (int i = 0; i < 3; ++i) {
        const Axis& axis = axes[i];
        auto* group = new QWidget(rotation_);
        group->setToolTip(QString::fromLatin1(axis.title) + QStringLiteral(": double-click Reset to zero all three"));
        auto* g = new QHBoxLayout(group);
        g->setContentsMargins(0, 0, 0, 0);
        g->setSpacing(4);
        g->addWidget(new QLabel(QString::fromLatin1(axis.title), group), 0, Qt::AlignVCenter);
        auto* slider = new QSlider(Qt::Horizontal, group);
        slider->setObjectName(QString::fromLatin1(axis.name));
        const int steps = static_cast<int>(axis.range * kAngleSteps);
        slider->setRange(-steps, steps);
        slider->setMinimumWidth(50);
        slider->setMaximumWidth(120);
        double Rotation::*field = axis.field;
        connect(slider, &QSlider::valueChanged, this, [this, field](int v) {
            Rotation r = player_.rotation();
            r.*field = static_cast<double>(v) / kAngleSteps;
            player_.setRotation(r);
        });
        g->addWidget(slider, 1, Qt::AlignVCenter);
        auto* value = new QLabel(group);
        value->setObjectName(QString::fromLatin1(axis.valueName));
        value->setFont(style::font(10, QFont::Normal, true));
        // 34 px, or the widest value where the font needs more.
        value->setFixedWidth(std::max(34, QFontMetrics(value->font()).horizontalAdvance(angleText(-180)) + 2));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        g->addWidget(value, 0, Qt::AlignVCenter);
        angles_[i] = slider;
        angleValues_[i] = value;
        // Each title, slider and value stay together; the spare width goes
        // after the three, never between a title and its slider.
        group->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
        row->addWidget(group, 0, Qt::AlignVCenter);
    }
    row->addStretch(1);
    reset_ = named(textButton("Reset", "", ControlSize::small, rotation_), "reset");
    connect(reset_, &QToolButton::clicked, this, [this] { player_.setRotation(Rotation{}); });
    row->addWidget(reset_, 0, Qt::AlignVCenter);
    return rotation_;
}

// --- Menus (filled when opened, from the model as it is then) ---

void PlayerView::fillFormatMenu() {
    QMenu* menu = format_->menu();
    resetMenu(menu);
    const auto& info = player_.info();
    if (!info) return;
    PlayerModel* player = &player_;
    QAction* automatic = menu->addAction(qs("Auto (" + info->detected.displayName() + ")"));
    connect(automatic, &QAction::triggered, menu, [player] { player->setFormatOverride(std::nullopt); });
    menu->addSeparator();
    const auto source = player_.source();
    for (const SourceFormat& f : SourceFormat::options(info->channels))
        addChoice(menu, qs(f.displayName()), source == f, [player, f] { player->setFormatOverride(f); });
}

void PlayerView::fillListenMenu() {
    QMenu* menu = listen_->menu();
    resetMenu(menu);
    PlayerModel* player = &player_;
    for (ListenMode mode : {ListenMode::normal, ListenMode::mono, ListenMode::left, ListenMode::right,
                            ListenMode::midSide})
        addChoice(menu, listenLabel(mode), player_.listen() == mode, [player, mode] { player->setListen(mode); });
}

void PlayerView::fillUpmixMenu() {
    QMenu* menu = upmix_->menu();
    resetMenu(menu);
    PlayerModel* player = &player_;
    const UpmixSettings current = player_.upmix();
    for (UpmixPreset preset : upmixPreset::allCases()) {
        // Marked only while the upmix is on: choosing the stored preset
        // while it is off switches it on.
        QAction* a = addChoice(menu, qs(std::string(upmixPreset::displayName(preset))),
                               current.enabled && current.preset == preset, [player, preset] {
                                   UpmixSettings u = player->upmix();
                                   u.enabled = true;
                                   u.preset = preset;
                                   u.params = upmixPreset::params(preset);
                                   player->setUpmix(u);
                               });
        a->setToolTip(upmixDescription(preset));
    }
    menu->addSeparator();
    QAction* toggle = menu->addAction(current.enabled ? QStringLiteral("Turn Upmix Off") : QStringLiteral("Turn Upmix On"));
    toggle->setObjectName(QStringLiteral("upmixToggle"));
    connect(toggle, &QAction::triggered, this, &PlayerView::toggleUpmix);
}

void PlayerView::fillProfileMenu() {
    QMenu* menu = profile_->menu();
    resetMenu(menu);
    PlayerModel* player = &player_;
    const Uuid active = settings_.activeProfile().id;
    for (const OutputProfile& p : settings_.value().profiles) {
        const Uuid id = p.id;
        addChoice(menu, qs(p.name), id == active, [player, id] { player->selectProfile(id); });
    }
}

void PlayerView::fillDragMenu() {
    QMenu* menu = dragAsMenu_->menu();
    resetMenu(menu);
    PlayerModel* player = &player_;
    for (const DragExport& form : player_.dragOptions())
        addChoice(menu, qs(form.name()), player_.dragExport() == form, [player, form] { player->setDragExport(form); });
}

// --- Actions ---

void PlayerView::toggleUpmix() {
    UpmixSettings u = player_.upmix();
    u.enabled = !u.enabled;
    player_.setUpmix(u);
}

void PlayerView::openInEditor() {
    const auto& info = player_.info();
    if (info && editor_) editor_->open(info->url);
    if (openWindow_) openWindow_(QStringLiteral("editor"));
    // The panel never takes the keyboard: only a normal window comes forward.
    QWidget* top = window();
    if (!top->testAttribute(Qt::WA_ShowWithoutActivating) &&
        !(top->windowFlags() & Qt::WindowDoesNotAcceptFocus))
        top->activateWindow();
}

void PlayerView::dragFile() {
    const auto& info = player_.info();
    if (!info) return;
    const std::filesystem::path loaded = info->url;
    // A failed render still drags the file itself.
    const auto rendered = player_.exportForDrag(false);
    const std::filesystem::path file = rendered ? *rendered : loaded;
    startFileDrag({icon_, {fileUrl(file)}, icon_->pixmap(), QPoint(9, 9)});
}

// --- Refresh ---

void PlayerView::refresh() {
    const auto& info = player_.info();
    const AppSettings& settings = settings_.value();
    const bool expert = settings.expertMode;
    const auto source = player_.source();
    const auto& message = player_.message();

    // Header.
    showIf(icon_, info.has_value());
    showIf(name_, info.has_value());
    showIf(facts_, info.has_value());
    showIf(status_, !info);
    if (info) {
        const QString path = qs(info->url.string());
        if (iconPath_ != path) {
            iconPath_ = path;
            icon_->setPixmap(QFileIconProvider().icon(QFileInfo(path)).pixmap(18, 18));
        }
        name_->setText(qs(info->url.filename().string()));
        facts_->setText(factsText(*info));
    } else {
        status_->setText(message ? qs(*message) : QStringLiteral("Select an audio file"));
        colourStatus();
    }

    showIf(format_, info && source && (expert || !isMonoOrStereo(source)));
    format_->setText(source ? qs(source->displayName()) : QStringLiteral("Format"));

    const bool upmixApplied = player_.upmix().enabled && player_.canUpmix();
    showIf(listen_, expert && info && info->channels == 2 && !upmixApplied);
    listen_->setText(listenLabel(player_.listen()));

    const UpmixSettings& upmix = player_.upmix();
    showIf(upmix_, player_.canUpmix());
    upmix_->setText(upmix.enabled ? qs(std::string(upmixPreset::displayName(upmix.preset))) : QStringLiteral("Upmix"));
    upmix_->setIcon(icons::symbol(upmix.enabled ? "speaker.wave.3.fill" : "speaker.wave.3"));
    upmix_->setToolTip(upmix.enabled ? upmixDescription(upmix.preset)
                                     : QStringLiteral("Upmix: spread this file over every speaker"));

    const OutputProfile active = settings_.activeProfile();
    profile_->setText(qs(active.name));
    profile_->setIcon(icons::symbol(active.kind == OutputProfile::Kind::headphones ? "headphones" : "hifispeaker.2"));

    editorButton_->setEnabled(info.has_value());
    {
        QSignalBlocker quiet(loop_);
        loop_->setChecked(player_.loop());
    }
    {
        QSignalBlocker quiet(autoPlay_);
        autoPlay_->setChecked(settings.autoPlay);
    }

    // Footer.
    play_->setEnabled(info.has_value());
    play_->setIcon(icons::symbol(player_.isPlaying() ? "stop.fill" : "play.fill"));
    play_->setAccessibleName(player_.isPlaying() ? QStringLiteral("Stop") : QStringLiteral("Play"));
    showIf(time_, info.has_value());
    if (info) {
        time_->setSampleRate(info->sampleRate);
        time_->setDuration(durationOf(*info));
    }
    const auto& selection = player_.selection();
    showIf(sel_, info && selection);
    showIf(clearSelection_, info && selection);
    if (info && selection)
        sel_->setText(qs("Sel " + PlayerModel::time(static_cast<double>(selection->length()) / info->sampleRate)));
    const bool hasBext = info && info->bextDescription;
    showIf(bext_, hasBext);
    if (hasBext) {
        bextText_->setText(qs(*info->bextDescription));
        bext_->setToolTip(qs(*info->bextDescription));
        // It gives its room first, but never below the least its text reads in.
        bext_->setMinimumWidth(bextText_->minimumSizeHint().width());
    }
    const std::string output = player_.output();
    showIf(output_, !output.empty());
    output_->setText(qs(output));
    message_->setMessage(info && message ? std::optional(qs(*message)) : std::nullopt);

    const auto options = player_.dragOptions();
    showIf(dragAs_, options.size() >= 2);
    dragAsMenu_->setText(qs(player_.dragExport().name()));

    showIf(level_, expert);
    {
        QSignalBlocker quiet(levelSlider_);
        levelSlider_->setValue(static_cast<int>(std::lround(player_.volumeDB() * kLevelSteps)));
    }
    levelSlider_->setToolTip(qs(fmt::format("Audition level {:.1f} dB", player_.volumeDB())));

    // Rotation row: by the source alone.
    showIf(rotation_, source && source->isAmbisonic());
    const Rotation& r = player_.rotation();
    const double values[3] = {r.yaw, r.pitch, r.roll};
    for (int i = 0; i < 3; ++i) {
        QSignalBlocker quiet(angles_[i]);
        angles_[i]->setValue(static_cast<int>(std::lround(values[i] * kAngleSteps)));
        angleValues_[i]->setText(angleText(values[i]));
    }
    reset_->setEnabled(!(r.yaw == 0 && r.pitch == 0 && r.roll == 0));
}

}  // namespace qm
