#include "ui/monitor/MonitorView.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QShowEvent>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "app/core/Handoff.h"
#include "ui/monitor/InsertRow.h"

#include <QLineEdit>
#include <QWidgetAction>
#include "ui/monitor/SpeakerMap.h"
#include "ui/monitor/UpmixRow.h"
#include "ui/widgets/ContentMinimum.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/MessageLine.h"
#include "ui/widgets/Segments.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace {

constexpr int maxSourceOffset = 128;

QString q(const std::string& s) { return QString::fromStdString(s); }

// Half-decibel slider positions: a position gives exactly its value.
int halfDecibels(double dB) {
    if (!std::isfinite(dB)) return 0;
    return static_cast<int>(std::lround(std::clamp(dB, -1e6, 1e6) * 2));
}

QLabel* caption(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    return l;
}

}  // namespace

QString MonitorView::busLabel(MonitorSource s) {
    switch (s) {
        case MonitorSource::l916: return tr("9.1.6 (SMPTE)");
        case MonitorSource::l714: return tr("7.1.4 (SMPTE)");
        case MonitorSource::l714film: return tr("7.1.4 (Pro Tools film)");
        case MonitorSource::l51: return tr("5.1 (SMPTE)");
        case MonitorSource::l51film: return tr("5.1 (film)");
        case MonitorSource::stereo: return tr("Stereo");
    }
    return {};
}

QString MonitorView::listenLabel(MonitorMode m) {
    switch (m) {
        case MonitorMode::full: return tr("Full");
        case MonitorMode::l714: return tr("7.1.4");
        case MonitorMode::l51: return tr("5.1");
        case MonitorMode::stereo: return tr("2.0");
        case MonitorMode::mono: return tr("Mono");
    }
    return {};
}

QString MonitorView::decibels(double dB) { return q(fmt::format("{:+.1f} dB", dB)); }

MonitorView::MonitorView(MonitorEngine& monitor, SettingsStore& settings, QWidget* parent)
    : QWidget(parent), monitor_(monitor), settings_(settings) {
    setObjectName("monitorView");
    setWindowTitle(tr("Monitor"));
    widgets::keepMinimumForContent(*this, QSize(720, 640));
    auto* body = new QVBoxLayout(this);
    body->setContentsMargins(16, 16, 16, 16);
    body->setSpacing(14);
    body->addWidget(makeHeader());
    body->addWidget(makeVolumeRow());
    body->addWidget(makeListenRow());
    upmix_ = new UpmixRow(monitor_, this);
    body->addWidget(upmix_);
    map_ = new SpeakerMap(monitor_, this);
    map_->setFixedHeight(260);
    map_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    body->addWidget(map_);
    body->addWidget(makeTrimRow());
    body->addWidget(makeInsertsBox());
    message_ = widgets::named(new widgets::MessageLine(this), "message");
    body->addWidget(message_);
    body->addStretch(1);

    connect(&monitor_, &MonitorEngine::stateChanged, this, &MonitorView::showState);
    connect(&monitor_, &MonitorEngine::sourceUIDChanged, this, &MonitorView::showSources);
    connect(&monitor_, &MonitorEngine::profileIDChanged, this, &MonitorView::showProfiles);
    connect(&monitor_, &MonitorEngine::runningChanged, this, &MonitorView::showRunning);
    connect(&monitor_, &MonitorEngine::insertsChanged, this, &MonitorView::showInserts);
    // What fits the output changes with the profile and with the stream.
    connect(&monitor_, &MonitorEngine::profileIDChanged, this, &MonitorView::showComponents);
    connect(&monitor_, &MonitorEngine::runningChanged, this, &MonitorView::showComponents);
    connect(&monitor_, &MonitorEngine::messageChanged, this, &MonitorView::showMessage);
    connect(&settings_, &SettingsStore::valueChanged, this, &MonitorView::showSettings);

    showSources();
    showSettings();
    showState();
    showRunning();
    showInserts();
    showMessage();
}

QWidget* MonitorView::makeHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);

    row->addWidget(caption(tr("Source"), header));
    source_ = widgets::named(widgets::fittingComboBox(header), "source");
    source_->setToolTip(tr("Where your DAW plays its bus: its JACK client, its PipeWire stream or a capture device"));
    connect(source_, &QComboBox::activated, this, [this](int i) {
        const QVariant uid = source_->itemData(i);
        monitor_.setSourceUID(uid.isValid() ? std::optional<QString>(uid.toString()) : std::nullopt);
    });
    row->addWidget(source_);

    row->addWidget(caption(tr("Bus"), header));
    bus_ = widgets::named(widgets::fittingComboBox(header), "bus");
    for (MonitorSource s : monitorSource::allCases()) bus_->addItem(busLabel(s));
    bus_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(bus_, &QComboBox::activated, this, [this](int i) {
        const MonitorSource s = monitorSource::allCases().at(static_cast<size_t>(i));
        writeState([s](MonitorState& state) { state.source = s; });
    });
    row->addWidget(bus_);

    row->addWidget(caption(tr("Output"), header));
    output_ = widgets::named(widgets::fittingComboBox(header), "output");
    output_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(output_, &QComboBox::activated, this, [this](int i) {
        if (auto id = Uuid::fromString(output_->itemData(i).toString().toStdString())) monitor_.setProfileID(*id);
    });
    row->addWidget(output_);
    row->addStretch(1);

    startStop_ = widgets::named(new QPushButton(header), "startStop");
    startStop_->setDefault(false);
    connect(startStop_, &QPushButton::clicked, this, &MonitorView::startOrStop);
    row->addWidget(startStop_);
    return header;
}

QWidget* MonitorView::makeVolumeRow() {
    auto* volumeRow = new QWidget(this);
    auto* row = new QHBoxLayout(volumeRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(16);
    volume_ = widgets::named(new QLabel(volumeRow), "volume");
    volume_->setFont(style::font(28, QFont::Light, true));
    volume_->setFixedWidth(130);
    volume_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    row->addWidget(volume_);

    volumeSlider_ = widgets::named(new QSlider(Qt::Horizontal, volumeRow), "volumeSlider");
    volumeSlider_->setRange(halfDecibels(MonitorState::minVolumeDB), halfDecibels(MonitorState::maxVolumeDB));
    volumeSlider_->setSingleStep(1);
    volumeSlider_->setPageStep(12);
    connect(volumeSlider_, &QSlider::valueChanged, this, [this](int position) {
        writeState([position](MonitorState& s) { s.volumeDB = position / 2.0; });
    });
    row->addWidget(volumeSlider_, 1);

    dim_ = widgets::named(widgets::asSwitch(widgets::textButton(tr("Dim"), QStringLiteral("\u221220 dB"),
                                                                widgets::ControlSize::regular, volumeRow)),
                          "dim");
    dim_->setAutoRaise(false);
    connect(dim_, &QToolButton::clicked, this, [this](bool on) { writeState([on](MonitorState& s) { s.dim = on; }); });
    row->addWidget(dim_);
    mute_ = widgets::named(
        widgets::asSwitch(widgets::textButton(tr("Mute"), {}, widgets::ControlSize::regular, volumeRow)), "mute");
    mute_->setAutoRaise(false);
    style::setTextColour(mute_, style::red());
    connect(mute_, &QToolButton::clicked, this,
            [this](bool on) { writeState([on](MonitorState& s) { s.mute = on; }); });
    row->addWidget(mute_);
    return volumeRow;
}

QWidget* MonitorView::makeListenRow() {
    auto* listenRow = new QWidget(this);
    auto* row = new QHBoxLayout(listenRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(caption(tr("Listen"), listenRow));
    QStringList labels;
    for (MonitorMode m : monitorMode::allCases()) labels << listenLabel(m);
    listen_ = widgets::named(new widgets::Segments(labels, listenRow), "listen");
    listen_->setToolTip(tr("Audition the mix folded down, on the matching speakers"));
    connect(listen_, &widgets::Segments::chosen, this, [this](int i) {
        const MonitorMode m = monitorMode::allCases().at(static_cast<size_t>(i));
        writeState([m](MonitorState& s) { s.mode = m; });
    });
    row->addWidget(listen_);
    row->addStretch(1);
    return listenRow;
}

QWidget* MonitorView::makeTrimRow() {
    auto* trimRow = new QWidget(this);
    auto* row = new QHBoxLayout(trimRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(caption(tr("Height trim"), trimRow));
    heightTrim_ = widgets::named(new QSlider(Qt::Horizontal, trimRow), "heightTrim");
    heightTrim_->setRange(halfDecibels(MonitorState::minHeightTrimDB), halfDecibels(MonitorState::maxHeightTrimDB));
    heightTrim_->setSingleStep(1);
    heightTrim_->setPageStep(6);
    heightTrim_->setMaximumWidth(240);
    connect(heightTrim_, &QSlider::valueChanged, this, [this](int position) {
        writeState([position](MonitorState& s) { s.heightTrimDB = position / 2.0; });
    });
    row->addWidget(heightTrim_, 1);
    heightTrimText_ = widgets::named(new QLabel(trimRow), "heightTrim.value");
    heightTrimText_->setFont(style::font(13, QFont::Normal, true));
    row->addWidget(heightTrimText_);
    row->addStretch(1);

    clearSolos_ = widgets::named(new QPushButton(tr("Clear solos and mutes"), trimRow), "clearSolos");
    connect(clearSolos_, &QPushButton::clicked, this, [this] {
        // Two writes, as two edits would make them.
        writeState([](MonitorState& s) { s.solo.clear(); });
        writeState([](MonitorState& s) { s.muted.clear(); });
    });
    row->addWidget(clearSolos_);

    sourceOffset_ = widgets::named(new QSpinBox(trimRow), "sourceOffset");
    // The stored offset is zero-based; users count inputs from 1.
    sourceOffset_->setRange(1, maxSourceOffset + 1);
    sourceOffset_->setPrefix(tr("Source starts at input "));
    sourceOffset_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(sourceOffset_, &QSpinBox::valueChanged, this, [this](int input) {
        writeState([input](MonitorState& s) { s.sourceOffset = input - 1; });
    });
    row->addWidget(sourceOffset_);
    return trimRow;
}

QWidget* MonitorView::makeInsertsBox() {
    auto* box = widgets::named(new QGroupBox(tr("Inserts"), this), "insertsBox");
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(4, 4, 4, 4);
    column->setSpacing(6);
    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setSpacing(6);
    column->addLayout(rowsLayout_);
    addInsert_ =
        widgets::named(widgets::menuButton(tr("Add Plug-in…"), {}, widgets::ControlSize::regular, box), "addInsert");
    addMenu_ = addInsert_->menu();
    search_ = widgets::named(new QLineEdit(addMenu_), "addInsert.search");
    search_->setPlaceholderText(tr("Search"));
    search_->setClearButtonEnabled(true);
    auto* searchAction = new QWidgetAction(addMenu_);
    searchAction->setDefaultWidget(search_);
    addMenu_->addAction(searchAction);
    connect(search_, &QLineEdit::textChanged, this, &MonitorView::showComponents);
    connect(addMenu_, &QMenu::aboutToShow, search_, [this] { search_->setFocus(); });
    column->addWidget(addInsert_, 0, Qt::AlignLeft);
    auto* note = new QLabel(
        tr("Room correction goes here: your room's correction filter in a convolver such as LSP Impulse Responses or "
           "LV2 Convolution, or an equalizer. It processes the speaker feeds, never your mix."),
        box);
    note->setWordWrap(true);
    style::setTextColour(note, style::secondaryLabel(palette()));
    column->addWidget(note);
    return box;
}

void MonitorView::showEvent(QShowEvent* e) {
    // Devices attached or plug-ins installed since show up on each showing.
    if (!e->spontaneous()) readLists();
    QWidget::showEvent(e);
}

void MonitorView::readLists() {
    // Asking the sound server for its clients and reading every installed
    // plug-in's description take from a tenth of a second to seconds: the
    // window shows at once and fills its pickers as the answers come.
    const uint64_t generation = ++listGeneration_;
    QPointer<MonitorView> self(this);
    // Reads a list on the pool and hands it to `take` on the main thread,
    // unless the window went or showed again meanwhile.
    auto read = [self, generation](auto list, auto take) {
        handoff::toPool([self, generation, list = std::move(list), take] {
            auto items = list();
            handoff::toThreadOf(nullptr, [self, generation, take, items = std::move(items)]() mutable {
                if (self && generation == self->listGeneration_) take(*self, std::move(items));
            });
        });
    };
    read(sourceList_, [](MonitorView& v, std::vector<AudioOutputDevice> sources) {
        v.sources_ = std::move(sources);
        v.sourcesRead_ = true;
        v.showSources();
    });
    read(componentList_, [](MonitorView& v, std::vector<Lv2Plugin> components) {
        v.components_ = std::move(components);
        v.componentsRead_ = true;
        v.showComponents();
    });
}

void MonitorView::writeState(const std::function<void(MonitorState&)>& change) {
    MonitorState state = monitor_.state();
    change(state);
    monitor_.setState(state);
}

void MonitorView::startOrStop() {
    if (monitor_.running()) {
        monitor_.stop();
        return;
    }
    // The click returns at once; a start may take a while.
    QTimer::singleShot(0, &monitor_, [m = &monitor_] { m->start(); });
}

void MonitorView::showState() {
    const MonitorState& s = monitor_.state();
    {
        QSignalBlocker quiet(bus_);
        const auto& cases = monitorSource::allCases();
        bus_->setCurrentIndex(static_cast<int>(std::find(cases.begin(), cases.end(), s.source) - cases.begin()));
    }
    volume_->setText(decibels(s.volumeDB));
    {
        QSignalBlocker quiet(volumeSlider_);
        volumeSlider_->setValue(halfDecibels(s.volumeDB));
    }
    {
        QSignalBlocker quiet(dim_);
        dim_->setChecked(s.dim);
    }
    {
        QSignalBlocker quiet(mute_);
        mute_->setChecked(s.mute);
    }
    const auto& modes = monitorMode::allCases();
    listen_->setCurrent(static_cast<int>(std::find(modes.begin(), modes.end(), s.mode) - modes.begin()));
    {
        QSignalBlocker quiet(heightTrim_);
        heightTrim_->setValue(halfDecibels(s.heightTrimDB));
    }
    heightTrimText_->setText(decibels(s.heightTrimDB));
    clearSolos_->setVisible(!s.solo.empty() || !s.muted.empty());
    {
        QSignalBlocker quiet(sourceOffset_);
        sourceOffset_->setValue(static_cast<int>(std::clamp<int64_t>(s.sourceOffset, 0, maxSourceOffset) + 1));
    }
}

void MonitorView::showSources() {
    QSignalBlocker quiet(source_);
    source_->clear();
    // Until the first list arrives there is nothing to choose from.
    source_->setEnabled(sourcesRead_);
    if (!sourcesRead_) {
        source_->addItem(tr("Looking for devices…"));
        return;
    }
    source_->addItem(tr("Choose…"));
    for (const auto& d : sources_)
        source_->addItem(q(fmt::format("{}  ({} in)", d.name, d.outputChannels)), q(d.uid));
    const auto& uid = monitor_.sourceUID();
    // A source that is not attached now selects nothing (and stays chosen).
    source_->setCurrentIndex(uid ? source_->findData(*uid) : 0);
}

void MonitorView::showProfiles() {
    QSignalBlocker quiet(output_);
    output_->clear();
    for (const auto& p : settings_.value().profiles) output_->addItem(q(p.name), q(p.id.uuidString()));
    // The profile in use, also when the chosen one is gone.
    output_->setCurrentIndex(output_->findData(q(monitor_.profile().id.uuidString())));
}

void MonitorView::showRunning() {
    const bool running = monitor_.running();
    startStop_->setText(running ? tr("Stop") : tr("Start"));
    const QColor tint = running ? style::red() : style::accent(palette());
    startStop_->setIcon(icons::symbol(running ? "stop.circle.fill" : "power", Qt::white));
    startStop_->setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: white; border: none;"
                                             " border-radius: 5px; padding: 4px 12px; }")
                                  .arg(tint.name()));
}

void MonitorView::showInserts() {
    const auto& inserts = monitor_.inserts();
    bool same = inserts.size() == rows_.size();
    for (size_t i = 0; same && i < inserts.size(); ++i) same = rows_[i]->id() == inserts[i].id;
    if (same) {
        // A bypass: the rows read it again when drawn.
        for (auto* r : rows_) r->update();
        return;
    }
    // The clicked row may be among those replaced: it goes after the click.
    for (auto* r : rows_) {
        rowsLayout_->removeWidget(r);
        r->hide();
        r->deleteLater();
    }
    rows_.clear();
    for (const auto& insert : inserts) {
        auto* r = new InsertRow(monitor_, insert, this);
        rowsLayout_->addWidget(r);
        r->setVisible(isVisible());
        rows_.push_back(r);
    }
}

QString MonitorView::categoryLabel(Lv2Category category) {
    switch (category) {
        case Lv2Category::eq: return tr("EQ");
        case Lv2Category::filter: return tr("Filter");
        case Lv2Category::dynamics: return tr("Dynamics");
        case Lv2Category::reverb: return tr("Reverb/Convolution");
        case Lv2Category::delay: return tr("Delay");
        case Lv2Category::distortion: return tr("Distortion");
        case Lv2Category::modulation: return tr("Modulation");
        case Lv2Category::spatial: return tr("Spatial");
        case Lv2Category::spectral: return tr("Spectral");
        case Lv2Category::utility: return tr("Utility");
        case Lv2Category::other: break;
    }
    return tr("Other");
}

// Only what can run on the output's channels: a submenu per LV2 class, or,
// while searching, the matches under their class's heading.
void MonitorView::showComponents() {
    for (QAction* a : componentActions_) {
        addMenu_->removeAction(a);
        a->deleteLater();
    }
    componentActions_.clear();
    for (QMenu* m : componentMenus_) m->deleteLater();
    componentMenus_.clear();
    const QString search = search_->text().trimmed();
    const auto groups = MonitorEngine::groupComponents(components_, monitor_.insertChannels(), search);
    auto add = [this](QMenu* menu, const Lv2Plugin& c) {
        QAction* a = menu->addAction(q(c.manufacturer + ": " + c.name), this, [this, c] {
            QTimer::singleShot(0, &monitor_, [m = &monitor_, c] { m->addInsert(c); });
        });
        if (menu == addMenu_) componentActions_.push_back(a);
    };
    for (const auto& g : groups) {
        if (search.isEmpty()) {
            auto* sub = new QMenu(categoryLabel(g.category), addMenu_);
            componentMenus_.push_back(sub);
            for (const auto& c : g.plugins) add(sub, c);
            componentActions_.push_back(addMenu_->addMenu(sub));
        } else {
            componentActions_.push_back(addMenu_->addSection(categoryLabel(g.category)));
            for (const auto& c : g.plugins) add(addMenu_, c);
        }
    }
    if (!componentsRead_) {
        QAction* looking = addMenu_->addAction(tr("Looking for plug-ins…"));
        looking->setEnabled(false);
        componentActions_.push_back(looking);
    } else if (groups.empty()) {
        QAction* none = addMenu_->addAction(search.isEmpty() ? tr("No plug-in can play on this output")
                                                             : tr("No plug-in matches"));
        none->setEnabled(false);
        componentActions_.push_back(none);
    }
}

void MonitorView::showMessage() {
    message_->setMessage(monitor_.message());
}

void MonitorView::showSettings() {
    showProfiles();
    const bool expert = settings_.value().expertMode;
    sourceOffset_->setVisible(expert);
    upmix_->setExpert(expert);
    // The effective profile follows the stored list, and what fits it.
    upmix_->refresh();
    map_->refresh();
    showComponents();
}

}  // namespace qm
