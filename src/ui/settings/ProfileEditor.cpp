#include "ui/settings/ProfileEditor.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "app/core/SettingsStore.h"
#include "audio/Speakers.h"
#include "spatial/MixBuilder.h"
#include "platform/AudioOutput.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/Style.h"

namespace qm {

using widgets::named;

// --- Trims -----------------------------------------------------------------

TrimSpinBox::TrimSpinBox(QWidget* parent) : QDoubleSpinBox(parent) {
    setRange(-24.0, 12.0);
    setSingleStep(0.5);
    setDecimals(1);
    setAccelerated(false);
    // Typed values are stored when the field is left or Return is pressed,
    // steps at once.
    setKeyboardTracking(false);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

QString TrimSpinBox::format(double dB) {
    // -0.0 would keep its sign.
    const double v = dB == 0.0 ? 0.0 : dB;
    return QString::fromStdString(fmt::format("{:+.1f} dB", v));
}

QString TrimSpinBox::textFromValue(double value) const { return format(value); }

std::optional<double> TrimSpinBox::parse(const QString& text) {
    QString t = text.trimmed();
    if (t.endsWith(QLatin1String("dB"), Qt::CaseInsensitive)) t.chop(2);
    t = t.trimmed();
    // The minus sign a user may paste from elsewhere, and a decimal comma.
    t.replace(QChar(0x2212), QLatin1Char('-')).replace(QLatin1Char(','), QLatin1Char('.'));
    if (t.startsWith(QLatin1Char('+'))) t.remove(0, 1);
    const std::string s = t.toStdString();
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

double TrimSpinBox::valueFromText(const QString& text) const {
    return std::clamp(parse(text).value_or(value()), minimum(), maximum());
}

QValidator::State TrimSpinBox::validate(QString& input, int&) const {
    const auto v = parse(input);
    if (v && *v >= minimum() && *v <= maximum()) return QValidator::Acceptable;
    // Part of a number on the way ("", "-", "+1.", "-3.5 d") or one out of range.
    for (QChar c : input)
        if (!(c.isDigit() || c == '+' || c == '-' || c == '.' || c == ',' || c == ' ' || c == 'd' || c == 'B' ||
              c == QChar(0x2212)))
            return QValidator::Invalid;
    return QValidator::Intermediate;
}

void TrimSpinBox::fixup(QString& input) const { input = format(valueFromText(input)); }

// --- The profile's rules ---------------------------------------------------

QString ProfileEditor::deviceLabel(const AudioOutputDevice& device) {
    return QString::fromStdString(fmt::format("{}  ({} out)", device.name, device.outputChannels));
}

const AudioOutputDevice* ProfileEditor::deviceOf(const OutputProfile& profile,
                                                 const std::vector<AudioOutputDevice>& devices) {
    if (profile.deviceUID)
        for (const auto& d : devices)
            if (d.uid == *profile.deviceUID) return &d;
    return devices.empty() ? nullptr : &devices.front();
}

int ProfileEditor::channelCount(const OutputProfile& profile, const std::vector<AudioOutputDevice>& devices) {
    const AudioOutputDevice* device = deviceOf(profile, devices);
    return device ? device->outputChannels : 2;
}

QStringList ProfileEditor::channelPlaces(const AudioOutputDevice* device) {
    QStringList places;
    if (!device) return places;
    // The device's own speakers decide whether its surrounds are the side pair.
    std::vector<SpeakerID> layout;
    for (const auto& s : device->speakers)
        if (s) layout.push_back(*s);
    for (const auto& at : device->speakers)
        places << (at ? QString::fromStdString(fmt::format("Plays at {} on this device", speaker::label(*at, layout)))
                      : QString());
    return places;
}

int ProfileEditor::channelItems(int channelCount, int64_t current) {
    // A channel stored far out of any device's reach (the settings file is
    // the user's to edit) would make a picker of millions of items: stored
    // channels are offered up to the most an output stream opens.
    const int64_t wanted = std::min<int64_t>(current, AudioOutput::maxChannels - 1) + 1;
    return static_cast<int>(std::max<int64_t>({2, channelCount, wanted}));
}

int64_t ProfileEditor::outputAt(const OutputProfile& profile, size_t i) {
    return i < profile.outputs.size() ? profile.outputs[i] : static_cast<int64_t>(i);
}

double ProfileEditor::trimAt(const OutputProfile& profile, size_t i) {
    return i < profile.trimsDB.size() ? profile.trimsDB[i] : 0.0;
}

void ProfileEditor::setOutput(OutputProfile& profile, size_t i, int64_t channel) {
    while (profile.outputs.size() <= i) profile.outputs.push_back(static_cast<int64_t>(profile.outputs.size()));
    profile.outputs[i] = channel;
}

void ProfileEditor::setTrim(OutputProfile& profile, size_t i, double dB) {
    while (profile.trimsDB.size() <= i) profile.trimsDB.push_back(0.0);
    profile.trimsDB[i] = dB;
}

void ProfileEditor::changeLayout(OutputProfile& profile, LayoutID layout) {
    const size_t n = layout::speakers(layout).size();
    profile.layout = layout;
    profile.outputs.resize(n);
    for (size_t k = 0; k < n; ++k) profile.outputs[k] = static_cast<int64_t>(k);
    profile.trimsDB.assign(n, 0.0);
}

void ProfileEditor::sequentialMap(OutputProfile& profile) {
    const size_t n = layout::speakers(profile.layout).size();
    profile.outputs.resize(n);
    for (size_t k = 0; k < n; ++k) profile.outputs[k] = static_cast<int64_t>(k);
}

namespace {

const ChannelSpeakers& speakersOf(const AudioOutputDevice* device) {
    static const ChannelSpeakers none;
    return device ? device->speakers : none;
}

Matrix routeOf(const OutputProfile& profile, const AudioOutputDevice* device, int channelCount) {
    return MixBuilder::speakerRouting(profile, channelCount, speakersOf(device));
}

}  // namespace

QStringList ProfileEditor::speakerPlaces(const OutputProfile& profile, const AudioOutputDevice* device,
                                         int channelCount) {
    const Matrix route = routeOf(profile, device, channelCount);
    std::vector<SpeakerID> named;
    if (device)
        for (const auto& s : device->speakers)
            if (s) named.push_back(*s);
    QStringList out;
    for (size_t i = 0; i < layout::speakers(profile.layout).size(); ++i) {
        QStringList channels;
        for (size_t o = 0; o < route.size(); ++o) {
            if (route[o][i] == 0) continue;
            std::string position;
            if (device && o < device->positions.size()) position = device->positions[o];
            else if (device && o < device->speakers.size() && device->speakers[o])
                position = speaker::label(*device->speakers[o], named);
            channels << QString::fromStdString(position.empty() ? fmt::format("Out {}", o + 1)
                                                                : fmt::format("Out {} ({})", o + 1, position));
        }
        if (!channels.isEmpty()) out << channels.join(QStringLiteral(", "));
        else out << (outputAt(profile, i) < 0 ? QStringLiteral("Off") : QStringLiteral("Not on this device"));
    }
    return out;
}

std::vector<int64_t> ProfileEditor::playingChannels(const OutputProfile& profile, const AudioOutputDevice* device,
                                                    int channelCount) {
    const Matrix route = routeOf(profile, device, channelCount);
    std::vector<int64_t> out;
    for (size_t i = 0; i < layout::speakers(profile.layout).size(); ++i) {
        int64_t best = -1;
        double most = 0;
        for (size_t o = 0; o < route.size(); ++o)
            if (route[o][i] > most) {
                most = route[o][i];
                best = static_cast<int64_t>(o);
            }
        out.push_back(best);
    }
    return out;
}

// --- The view --------------------------------------------------------------

namespace {

const char* const kLayoutLabels[] = {"Stereo", "5.1", "7.1", "5.1.4", "7.1.2", "7.1.4", "9.1.6"};

QLabel* secondary(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    style::setTextColour(label, style::secondaryLabel(parent->palette()));
    return label;
}

}  // namespace

ProfileEditor::ProfileEditor(SettingsStore& settings, QWidget* parent) : QScrollArea(parent), settings_(settings) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setSpacing(14);
    column->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    name_ = named(new QLineEdit(content), "name");
    name_->setMinimumWidth(220);
    connect(name_, &QLineEdit::textEdited, this,
            [this](const QString& text) { write([&](OutputProfile& p) { p.name = text.toStdString(); }); });
    form->addRow("Name", name_);

    kind_ = named(new QComboBox(content), "kind");
    kind_->addItem("Speakers");
    kind_->addItem("Headphones (binaural)");
    connect(kind_, &QComboBox::activated, this, [this](int index) {
        write([&](OutputProfile& p) { p.kind = index == 1 ? OutputProfile::Kind::headphones : OutputProfile::Kind::speakers; });
    });
    form->addRow("Type", kind_);

    device_ = named(widgets::fittingComboBox(content), "device");
    connect(device_, &QComboBox::activated, this, [this](int index) {
        const QVariant uid = device_->itemData(index);
        write([&](OutputProfile& p) {
            p.deviceUID = uid.isNull() ? std::nullopt : std::optional<std::string>(uid.toString().toStdString());
        });
    });
    form->addRow("Device", device_);

    layout_ = named(new QComboBox(content), "layout");
    for (LayoutID l : layout::allCases()) layout_->addItem(kLayoutLabels[static_cast<int>(l)]);
    connect(layout_, &QComboBox::activated, this, [this](int index) {
        write([&](OutputProfile& p) { changeLayout(p, layout::allCases()[static_cast<size_t>(index)]); });
    });
    layoutLabel_ = new QLabel("Layout", content);
    form->addRow(layoutLabel_, layout_);

    left_ = channelPicker("headphoneLeft", content);
    connect(left_, &QComboBox::activated, this, [this](int index) {
        write([&](OutputProfile& p) { p.headphoneLeft = index - 1; });
    });
    leftLabel_ = new QLabel("Left output", content);
    form->addRow(leftLabel_, left_);
    right_ = channelPicker("headphoneRight", content);
    connect(right_, &QComboBox::activated, this, [this](int index) {
        write([&](OutputProfile& p) { p.headphoneRight = index - 1; });
    });
    rightLabel_ = new QLabel("Right output", content);
    form->addRow(rightLabel_, right_);
    column->addLayout(form);

    speakerMap_ = named(new QWidget(content), "speakerMap");
    auto* map = new QVBoxLayout(speakerMap_);
    map->setContentsMargins(0, 0, 0, 0);
    map->setSpacing(6);
    auto* header = new QHBoxLayout;
    auto* title = new QLabel("Speaker map", speakerMap_);
    title->setFont(style::font(style::TextStyle::headline));
    header->addWidget(title);
    header->addStretch(1);
    auto* sequential = named(new QPushButton("Sequential from 1", speakerMap_), "sequential");
    widgets::setControlSize(sequential, widgets::ControlSize::small);
    connect(sequential, &QPushButton::clicked, this, [this] { write(sequentialMap); });
    header->addWidget(sequential);
    map->addLayout(header);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(14);
    grid_->setVerticalSpacing(4);
    grid_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    int col = 0;
    for (const char* text : {"Speaker", "Output", "Plays on", "Trim"})
        grid_->addWidget(secondary(text, speakerMap_), 0, col++);
    map->addLayout(grid_);
    auto* note = secondary("Trims apply to auditioning only; room correction comes from the monitor module.", speakerMap_);
    note->setFont(style::font(style::TextStyle::caption));
    note->setWordWrap(true);
    map->addWidget(note);
    column->addWidget(speakerMap_);
    column->addStretch(1);
    setWidget(content);
    // The tab's own background shows through, as beside the list.
    viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);

    connect(&settings_, &SettingsStore::valueChanged, this, &ProfileEditor::refresh);
}

QComboBox* ProfileEditor::channelPicker(const char* name, QWidget* parent) {
    auto* picker = named(new QComboBox(parent), name);
    picker->setFixedWidth(110);
    picker->setMaxVisibleItems(16);
    return picker;
}

void ProfileEditor::showChannel(QComboBox* picker, int items, int64_t channel, const QStringList& places) {
    const QSignalBlocker block(picker);
    if (picker->count() == 0) picker->addItem("Off");
    // Items are added or taken at the end, never all replaced: the picker
    // may be the one whose choice led here.
    while (picker->count() > items + 1) picker->removeItem(picker->count() - 1);
    while (picker->count() < items + 1)
        picker->addItem(QString::fromStdString(fmt::format("Out {}", picker->count())));
    for (int k = 0; k < items; ++k) picker->setItemData(k + 1, places.value(k), Qt::ToolTipRole);
    picker->setCurrentIndex(channel >= -1 && channel < items ? static_cast<int>(channel) + 1 : -1);
}

void ProfileEditor::bind(const Uuid& id, std::vector<AudioOutputDevice> devices) {
    const bool sameDevices = devices == devices_;
    devices_ = std::move(devices);
    if (!sameDevices || device_->count() == 0) {
        const QSignalBlocker block(device_);
        device_->clear();
        device_->addItem("System Output");
        for (const auto& d : devices_) device_->addItem(deviceLabel(d), QString::fromStdString(d.uid));
    }
    if (id_ != id) {
        id_ = id;
        builtLayout_.reset();
    }
    refresh();
}

const OutputProfile* ProfileEditor::profile() const {
    if (!id_) return nullptr;
    for (const auto& p : settings_.value().profiles)
        if (p.id == *id_) return &p;
    return nullptr;
}

void ProfileEditor::write(const std::function<void(OutputProfile&)>& change) {
    if (!id_) return;
    const Uuid id = *id_;
    settings_.update([&](AppSettings& s) {
        for (auto& p : s.profiles)
            if (p.id == id) {
                change(p);
                return;
            }
    });
}

void ProfileEditor::refresh() {
    const OutputProfile* found = profile();
    if (!found) return;
    const OutputProfile p = *found;  // the store may change while controls are set
    const QString name = QString::fromStdString(p.name);
    // Setting the same text would move the cursor of the field being typed in.
    if (name_->text() != name) name_->setText(name);
    const bool speakers = p.kind == OutputProfile::Kind::speakers;
    {
        const QSignalBlocker b1(kind_), b2(device_), b3(layout_);
        kind_->setCurrentIndex(speakers ? 0 : 1);
        device_->setCurrentIndex(p.deviceUID ? device_->findData(QString::fromStdString(*p.deviceUID)) : 0);
        layout_->setCurrentIndex(static_cast<int>(p.layout));
    }
    layoutLabel_->setVisible(speakers);
    layout_->setVisible(speakers);
    for (QWidget* w : {static_cast<QWidget*>(leftLabel_), static_cast<QWidget*>(left_),
                       static_cast<QWidget*>(rightLabel_), static_cast<QWidget*>(right_)})
        w->setVisible(!speakers);
    speakerMap_->setVisible(speakers);

    const int count = channelCount(p, devices_);
    const QStringList places = channelPlaces(deviceOf(p, devices_));
    showChannel(left_, channelItems(count, p.headphoneLeft), p.headphoneLeft, places);
    showChannel(right_, channelItems(count, p.headphoneRight), p.headphoneRight, places);
    if (builtLayout_ != p.layout) rebuildSpeakers(p);
    // By the device's positions, the pickers show the channels played on.
    const AudioOutputDevice* device = deviceOf(p, devices_);
    const bool byPosition = MixBuilder::routesByPosition(p, speakersOf(device));
    const std::vector<int64_t> playing = byPosition ? playingChannels(p, device, count) : std::vector<int64_t>{};
    const QStringList speakerAt = speakerPlaces(p, device, count);
    for (size_t i = 0; i < outputs_.size(); ++i) {
        const int64_t channel = i < playing.size() ? playing[i] : outputAt(p, i);
        showChannel(outputs_[i], channelItems(count, channel), channel, places);
        places_[i]->setText(speakerAt.value(static_cast<int>(i)));
        const QSignalBlocker block(trims_[i]);
        trims_[i]->setValue(trimAt(p, i));
    }
}

void ProfileEditor::rebuildSpeakers(const OutputProfile& p) {
    // Only a layout pick leads here, never a control of these rows.
    for (QWidget* w : rowWidgets_) delete w;
    rowWidgets_.clear();
    outputs_.clear();
    places_.clear();
    trims_.clear();
    const auto& speakers = layout::speakers(p.layout);
    QFont mono = style::font(style::TextStyle::body);
    mono.setStyleHint(QFont::Monospace);
    mono.setFamily(QStringLiteral("monospace"));
    for (size_t i = 0; i < speakers.size(); ++i) {
        const int row = static_cast<int>(i) + 1;
        auto* label = new QLabel(QString::fromStdString(speaker::label(speakers[i], speakers)), speakerMap_);
        label->setObjectName(QStringLiteral("speaker:%1").arg(i));
        label->setFont(mono);
        auto* picker = channelPicker("", speakerMap_);
        picker->setObjectName(QStringLiteral("output:%1").arg(i));
        connect(picker, &QComboBox::activated, this, [this, i](int index) {
            write([&](OutputProfile& q) {
                // Routed by position until now: by hand from what the
                // pickers showed.
                const AudioOutputDevice* device = deviceOf(q, devices_);
                if (MixBuilder::routesByPosition(q, speakersOf(device))) {
                    const std::vector<int64_t> playing = playingChannels(q, device, channelCount(q, devices_));
                    for (size_t k = 0; k < playing.size(); ++k) setOutput(q, k, playing[k]);
                }
                setOutput(q, i, index - 1);
            });
        });
        auto* place = secondary(QString(), speakerMap_);
        place->setObjectName(QStringLiteral("plays:%1").arg(i));
        auto* trim = new TrimSpinBox(speakerMap_);
        trim->setObjectName(QStringLiteral("trim:%1").arg(i));
        trim->setFont(mono);
        trim->setFixedWidth(110);
        connect(trim, &QDoubleSpinBox::valueChanged, this,
                [this, i](double dB) { write([&](OutputProfile& q) { setTrim(q, i, dB); }); });
        grid_->addWidget(label, row, 0);
        grid_->addWidget(picker, row, 1);
        grid_->addWidget(place, row, 2);
        grid_->addWidget(trim, row, 3);
        rowWidgets_.insert(rowWidgets_.end(), {label, picker, place, trim});
        outputs_.push_back(picker);
        places_.push_back(place);
        trims_.push_back(trim);
    }
    builtLayout_ = p.layout;
}

}  // namespace qm
