#include "ui/monitor/UpmixRow.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "audio/UpmixRequest.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Segments.h"
#include "ui/widgets/Style.h"
#include "ui/widgets/UpmixTexts.h"

namespace qm {

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

int nearest(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<int>(std::lround(std::clamp(v, -1e6, 1e6)));
}

// The grid's rounded, faintly tinted background.
class GridFrame : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 6, 6);
        p.fillPath(shape, style::withAlpha(style::secondaryLabel(palette()), 0.06));
    }
};

}  // namespace

QString UpmixRow::valueText(double UpmixParams::*field, double v) {
    if (field == &UpmixParams::strength || field == &UpmixParams::frontAmbience)
        return q(fmt::format("{:.0f}%", v * 100));
    if (field == &UpmixParams::centerWidth) return q(fmt::format("{:.0f} of 7", v * 7));
    if (field == &UpmixParams::stage) return q(fmt::format("±{:.0f}°", v));
    if (field == &UpmixParams::heightDB && v <= -40) return QStringLiteral("off");
    if (field == &UpmixParams::surroundDelayMs) return q(fmt::format("{:.0f} ms", v));
    return q(fmt::format("{:+.1f} dB", v));
}

UpmixRow::UpmixRow(MonitorEngine& monitor, QWidget* parent) : QWidget(parent), monitor_(monitor) {
    setObjectName("upmixRow");
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    controls_ = new QWidget(this);
    auto* row = new QHBoxLayout(controls_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    toggle_ = widgets::named(widgets::asSwitch(widgets::textButton(tr("Upmix"), {}, widgets::ControlSize::regular,
                                                                   controls_)),
                             "upmix");
    toggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toggle_->setAutoRaise(false);
    connect(toggle_, &QToolButton::clicked, this,
            [this](bool on) { write([on](UpmixSettings& u) { u.enabled = on; }); });
    row->addWidget(toggle_);

    QStringList labels;
    for (UpmixPreset p : upmixPreset::allCases()) labels << q(std::string(upmixPreset::displayName(p)));
    presets_ = widgets::named(new widgets::Segments(labels, controls_), "upmixPreset");
    presets_->setAccessibleName(tr("Preset"));
    connect(presets_, &widgets::Segments::chosen, this, [this](int i) {
        const UpmixPreset p = upmixPreset::allCases().at(static_cast<size_t>(i));
        write([p](UpmixSettings& u) {
            u.preset = p;
            u.params = upmixPreset::params(p);
        });
    });
    row->addWidget(presets_);

    reset_ = widgets::named(
        widgets::textButton(tr("Reset"), tr("Back to the preset's values"), widgets::ControlSize::regular, controls_),
        "upmixReset");
    connect(reset_, &QToolButton::clicked, this,
            [this] { write([](UpmixSettings& u) { u.params = upmixPreset::params(u.preset); }); });
    row->addWidget(reset_);
    row->addStretch(1);
    column->addWidget(controls_);

    grid_ = makeGrid();
    column->addWidget(grid_, 0, Qt::AlignLeft);

    connect(&monitor_, &MonitorEngine::stateChanged, this, &UpmixRow::refresh);
    connect(&monitor_, &MonitorEngine::profileIDChanged, this, &UpmixRow::refresh);
    refresh();
}

QFrame* UpmixRow::makeGrid() {
    auto* frame = widgets::named(new GridFrame(this), "upmixGrid");
    widgets::setControlSize(frame, widgets::ControlSize::small);
    auto* grid = new QGridLayout(frame);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(4);

    using P = UpmixParams;
    struct Row {
        const char* name;
        const char* label;
        Slider slider;
    };
    const Row rows[] = {
        {"strength", "Strength",
         {&P::strength, 0, 1000, [](int i) { return i / 1000.0; }, [](double v) { return nearest(v * 1000); }}},
        {"centerWidth", "Centre width",
         {&P::centerWidth, 0, 7, [](int i) { return i / 7.0; }, [](double v) { return nearest(v * 7); }}},
        {"stage", "Front stage",
         {&P::stage, 0, 6, [](int i) { return 30.0 + 5 * i; }, [](double v) { return nearest((v - 30) / 5); }}},
        {"frontAmbience", "Front ambience",
         {&P::frontAmbience, 0, 1000, [](int i) { return i / 1000.0; }, [](double v) { return nearest(v * 1000); }}},
        {"ambienceDB", "Ambience",
         {&P::ambienceDB, -24, 18, [](int i) { return i / 2.0; }, [](double v) { return nearest(v * 2); }}},
        {"heightDB", "Heights",
         {&P::heightDB, -80, 12, [](int i) { return i / 2.0; }, [](double v) { return nearest(v * 2); }}},
        {"surroundDelayMs", "Surround delay",
         {&P::surroundDelayMs, 0, 20, [](int i) { return double(i); }, [](double v) { return nearest(v); }}},
    };
    const QFont valueFont = style::font(10, QFont::Normal, true);
    int index = 0;
    for (const Row& r : rows) {
        Slider s = r.slider;
        auto* cell = new QHBoxLayout;
        cell->setSpacing(6);
        auto* label = new QLabel(tr(r.label), frame);
        label->setFixedWidth(104);
        cell->addWidget(label);
        s.slider = widgets::named(new QSlider(Qt::Horizontal, frame), r.name);
        s.slider->setRange(s.minimum, s.maximum);
        s.slider->setSingleStep(1);
        s.slider->setPageStep(std::max(1, (s.maximum - s.minimum) / 10));
        s.slider->setMinimumWidth(90);
        s.slider->setFixedWidth(180);
        cell->addWidget(s.slider);
        s.text = new QLabel(frame);
        s.text->setObjectName(QString::fromLatin1(r.name) + ".value");
        s.text->setFont(valueFont);
        s.text->setFixedWidth(56);
        s.text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        cell->addWidget(s.text);
        grid->addLayout(cell, index / 2, index % 2);
        const auto field = s.field;
        const auto value = s.value;
        connect(s.slider, &QSlider::valueChanged, this, [this, field, value](int position) {
            write([&](UpmixSettings& u) { u.params.*field = value(position); });
        });
        sliders_.push_back(s);
        ++index;
    }

    auto* bass = new QHBoxLayout;
    bass->setSpacing(6);
    auto* bassLabel = new QLabel(tr("Bass to LFE"), frame);
    bassLabel->setFixedWidth(104);
    bass->addWidget(bassLabel);
    lfe_ = widgets::named(widgets::fittingComboBox(frame), "lfe");
    lfe_->setAccessibleName(tr("Bass to LFE"));
    lfe_->addItem(tr("Off"));
    lfe_->addItem(tr("Split"));
    connect(lfe_, &QComboBox::activated, this, [this](int i) {
        write([i](UpmixSettings& u) { u.params.lfe = i == 1 ? UpmixParams::LFEMode::split : UpmixParams::LFEMode::off; });
    });
    bass->addWidget(lfe_);
    lfeHz_ = widgets::named(widgets::fittingComboBox(frame), "lfeHz");
    lfeHz_->setAccessibleName(tr("Crossover"));
    lfeHz_->addItem(tr("80 Hz"), 80.0);
    lfeHz_->addItem(tr("120 Hz"), 120.0);
    connect(lfeHz_, &QComboBox::activated, this, [this](int i) {
        const double hz = lfeHz_->itemData(i).toDouble();
        write([hz](UpmixSettings& u) { u.params.lfeHz = hz; });
    });
    bass->addWidget(lfeHz_);
    bass->addStretch(1);
    grid->addLayout(bass, 3, 1);
    return frame;
}

bool UpmixRow::can() const { return monitor_.upmixAvailable(); }

void UpmixRow::setExpert(bool on) {
    if (on == expert_) return;
    expert_ = on;
    refresh();
}

void UpmixRow::write(const std::function<void(UpmixSettings&)>& change) {
    MonitorState state = monitor_.state();
    change(state.upmix);
    monitor_.setState(state);
}

void UpmixRow::refresh() {
    const UpmixSettings& u = monitor_.state().upmix;
    const bool offered = can();
    controls_->setEnabled(offered);
    {
        QSignalBlocker quiet(toggle_);
        toggle_->setChecked(u.enabled);
    }
    toggle_->setIcon(icons::symbol(u.enabled ? "speaker.wave.3.fill" : "speaker.wave.3"));
    toggle_->setToolTip(offered ? tr("Spread the bus over every speaker in the room")
                                : tr("The source already uses every speaker in the room"));
    const auto& cases = upmixPreset::allCases();
    presets_->setCurrent(static_cast<int>(std::find(cases.begin(), cases.end(), u.preset) - cases.begin()));
    presets_->setToolTip(widgets::upmixDescription(u.preset));
    reset_->setVisible(u.params != upmixPreset::params(u.preset));

    grid_->setVisible(expert_ && offered && u.enabled);
    for (const Slider& s : sliders_) {
        const double v = u.params.*(s.field);
        QSignalBlocker quiet(s.slider);
        s.slider->setValue(std::clamp(s.position(v), s.minimum, s.maximum));
        s.text->setText(valueText(s.field, v));
    }
    {
        QSignalBlocker quiet(lfe_);
        lfe_->setCurrentIndex(u.params.lfe == UpmixParams::LFEMode::split ? 1 : 0);
    }
    {
        QSignalBlocker quiet(lfeHz_);
        // A crossover the picker does not offer selects nothing (and is kept).
        lfeHz_->setCurrentIndex(lfeHz_->findData(u.params.lfeHz));
    }
    lfeHz_->setVisible(u.params.lfe == UpmixParams::LFEMode::split);
}

}  // namespace qm
