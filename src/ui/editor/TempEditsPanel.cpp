#include "ui/editor/TempEditsPanel.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>

#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "edit/TempEditPlanner.h"
#include "ui/editor/EditorTexts.h"
#include "ui/widgets/BusyIndicator.h"
#include "ui/widgets/Chip.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

using namespace widgets;

namespace {

// A wrapped text of at most two lines: what does not fit ends in an
// ellipsis, and the whole text is the tooltip then.
class TwoLineLabel : public QLabel {
public:
    TwoLineLabel(const QString& text, QWidget* parent) : QLabel(parent), full_(text) {
        setWordWrap(true);
        setTextFormat(Qt::PlainText);
        setText(text);
        setMaximumHeight(most());
    }

    int heightForWidth(int width) const override { return std::min(QLabel::heightForWidth(width), most()); }

protected:
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange) {
            setMaximumHeight(most());
            fit();
        }
    }
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        fit();
    }

private:
    int heightOf(const QString& text) const {
        return fontMetrics().boundingRect(QRect(0, 0, std::max(width(), 1), 100000), Qt::TextWordWrap, text).height();
    }
    // Two lines.
    int most() const {
        return fontMetrics().boundingRect(QRect(0, 0, 1000, 1000), Qt::TextWordWrap, QStringLiteral("X\nX")).height();
    }
    void fit() {
        const int most = this->most();
        QString shown = full_;
        if (heightOf(full_) > most) {
            // The longest head that fits with the ellipsis.
            qsizetype low = 0, high = full_.size();
            while (low < high) {
                const qsizetype mid = (low + high + 1) / 2;
                if (heightOf(full_.left(mid).trimmed() + QStringLiteral("\u2026")) <= most)
                    low = mid;
                else
                    high = mid - 1;
            }
            shown = full_.left(low).trimmed() + QStringLiteral("\u2026");
        }
        if (text() != shown) setText(shown);
        setToolTip(shown != full_ ? full_ : QString());
    }

    QString full_;
};

// One planned edit on a rounded card.
class PlanCard : public QWidget {
public:
    PlanCard(const EditPlan& plan, const std::optional<double>& rate, bool expert, EditorModel& editor,
             QWidget* parent)
        : QWidget(parent), width_(expert ? 230 : 150) {
        setObjectName(QStringLiteral("card:") + QString::fromStdString(plan.name));
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(8, 8, 8, 8);
        column->setSpacing(3);
        auto* top = new QHBoxLayout;
        top->setSpacing(6);
        auto* name = new QLabel(QString::fromStdString(plan.name), this);
        name->setFont(style::font(12, QFont::DemiBold));
        top->addWidget(name);
        auto* length = new QLabel(editortext::planLength(plan, rate), this);
        length->setObjectName("length");
        length->setFont(style::font(10, QFont::Normal, true));
        style::setTextColour(length, style::secondaryLabel(palette()));
        top->addWidget(length);
        if (expert && plan.quality < 0.999) {
            auto* quality = new QLabel(editortext::planQuality(plan), this);
            quality->setObjectName("quality");
            quality->setFont(style::font(style::TextStyle::caption2));
            quality->setToolTip("How closely the bars around each splice match");
            style::setTextColour(quality, style::secondaryLabel(palette()));
            top->addWidget(quality);
        }
        top->addStretch(1);
        top->addSpacing(4);
        auto* play = named(symbolButton("play.circle", "Audition this edit", ControlSize::small, this), "audition");
        connect(play, &QToolButton::clicked, this, [&editor, plan] { editor.audition(plan); });
        top->addWidget(play);
        column->addLayout(top);
        if (expert) {
            auto* map = new TwoLineLabel(QString::fromStdString(plan.map), this);
            map->setObjectName("map");
            map->setFont(style::font(style::TextStyle::caption2));
            style::setTextColour(map, style::secondaryLabel(palette()));
            column->addWidget(map);
        }
        column->addStretch(1);
    }

    // As wide as the mode says, wider when its name needs it (a hint, not a
    // minimum of its own, so that a narrow strip never squeezes it); as tall
    // as its wrapped lines are at that width.
    QSize sizeHint() const override {
        QSize hint = QWidget::sizeHint().expandedTo(QSize(width_, 0));
        if (layout()->hasHeightForWidth()) hint.setHeight(layout()->totalHeightForWidth(hint.width()));
        return hint;
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(style::withAlpha(style::secondaryLabel(palette()), 0.08 / 0.55));
        p.drawRoundedRect(QRectF(rect()), 6, 6);
    }

private:
    int width_;
};

// The cards' strip scrolls sideways, with a scroll bar when the cards do
// not fit; a plain wheel, which turns vertically, moves it too.
class CardStrip : public QScrollArea {
public:
    explicit CardStrip(QWidget* parent) : QScrollArea(parent) {
        setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    // Holds the strip of cards, and follows the height they take.
    void setCards(QWidget* strip) {
        setWidget(strip);
        strip->installEventFilter(this);
    }

    // As high as the cards and the scroll bar's room below them, kept even
    // while the bar is not shown: the rows below never jump as the window
    // narrows past the cards.
    QSize sizeHint() const override { return {QScrollArea::sizeHint().width(), fittedHeight()}; }
    QSize minimumSizeHint() const override { return {QScrollArea::minimumSizeHint().width(), fittedHeight()}; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == widget() && event->type() == QEvent::LayoutRequest) updateGeometry();
        return QScrollArea::eventFilter(watched, event);
    }
    void wheelEvent(QWheelEvent* event) override {
        QScrollBar* bar = horizontalScrollBar();
        const QPoint pixels = event->pixelDelta();
        const QPoint angle = event->angleDelta();
        const int delta = !pixels.isNull() ? (std::abs(pixels.x()) > std::abs(pixels.y()) ? pixels.x() : pixels.y())
                                           : (std::abs(angle.x()) > std::abs(angle.y()) ? angle.x() : angle.y()) / 2;
        if (bar->maximum() <= 0 || delta == 0) return QScrollArea::wheelEvent(event);
        bar->setValue(bar->value() - delta);
        event->accept();
    }

private:
    int fittedHeight() const {
        const int cards = widget() ? widget()->sizeHint().height() : 0;
        return std::max(cards, 1) + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, horizontalScrollBar());
    }
};

QColor chipColour(editortext::ChipKind kind) {
    switch (kind) {
        case editortext::ChipKind::intro: return style::introColor();
        case editortext::ChipKind::loop: return style::loopColor();
        case editortext::ChipKind::ending: return style::endingColor();
    }
    return style::loopColor();
}

// Later, not now: the widget may be the sender of the signal being handled
// ("Reset pins" changes the pins, which rebuilds the chips).
void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->setParent(nullptr);
            w->deleteLater();
        }
        delete item;
    }
}

QHBoxLayout* smallRow(QVBoxLayout* parent, int spacing) {
    auto* row = new QHBoxLayout;
    row->setSpacing(spacing);
    parent->addLayout(row);
    return row;
}

}  // namespace

TempEditsPanel::TempEditsPanel(EditorModel& editor, SettingsStore& settings, FileReveal& reveal,
                               AIGenerator::Service waits, QWidget* parent)
    : QWidget(parent),
      editor_(editor),
      settings_(settings),
      reveal_(reveal),
      ai_(new AIGenerator(waits, this)) {
    setControlSize(this, ControlSize::small);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);
    EditorModel* m = &editor;
    SettingsStore* s = &settings;

    // Row 1: title, pins, targets, Make Temp Edits.
    auto* row1 = smallRow(column, 10);
    auto* title = new QLabel("Temp Edits", this);
    title->setFont(style::font(style::TextStyle::headline));
    row1->addWidget(title);
    pins_ = new QHBoxLayout;
    pins_->setSpacing(8);
    row1->addLayout(pins_);
    row1->addStretch(1);
    for (double length : lengths) {
        auto* t = asSwitch(textButton(QString::fromStdString(TempEditPlanner::label(length)), "", ControlSize::small, this));
        targets_.push_back(t);
        t->setObjectName(QStringLiteral("target%1").arg(static_cast<int>(length)));
        connect(t, &QToolButton::toggled, this, [m, length](bool on) {
            auto o = m->options();
            o.targets = editortext::toggledTargets(o.targets, length, on);
            m->setOptions(o);
        });
        row1->addWidget(t);
    }
    auto* extended = extended_ = named(asSwitch(textButton("3m00s extended", "", ControlSize::small, this)), "extended");
    connect(extended, &QToolButton::toggled, this, [m](bool on) {
        auto o = m->options();
        o.extended = on ? std::optional<double>(180.0) : std::nullopt;
        m->setOptions(o);
    });
    row1->addWidget(extended);
    auto* make = make_ = named(new QPushButton(icons::symbol("folder.badge.plus"), "Make Temp Edits", this), "makeTempEdits");
    make->setDefault(true);
    make->setToolTip("Writes every edit below into a folder next to the source, with an edit-notes sheet");
    connect(make, &QPushButton::clicked, this, [m] { m->makeTempEdits(); });
    row1->addWidget(make);

    // Row 2: the structure notes.
    auto* notes = notes_ = named(new ElidedLabel(Qt::ElideRight, this), "notes");
    notes->setFont(style::font(style::TextStyle::caption));
    style::setTextColour(notes, style::secondaryLabel(palette()));
    column->addWidget(notes);

    // Row 3: the plan cards, scrolled sideways.
    auto* scroll = new CardStrip(this);
    cardStrip_ = scroll;
    scroll->setObjectName("cards");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* strip = new QWidget(scroll);
    // The cards at the top, the scroll bar's room below them.
    auto* stripColumn = new QVBoxLayout(strip);
    stripColumn->setContentsMargins(0, 0, 0, 0);
    stripColumn->setSpacing(0);
    stripColumn->setSizeConstraint(QLayout::SetMinAndMaxSize);
    cards_ = new QHBoxLayout;
    cards_->setSpacing(8);
    stripColumn->addLayout(cards_);
    stripColumn->addStretch(1);
    scroll->setCards(strip);
    column->addWidget(scroll);

    // Row 4 (expert): splice options and loop candidates.
    auto* expertRow = expertRow_ = named(new QWidget(this), "expertRow");
    auto* row4 = new QHBoxLayout(expertRow);
    row4->setContentsMargins(0, 0, 0, 0);
    row4->setSpacing(14);
    auto* crossfade = crossfade_ = named(new QSpinBox(expertRow), "crossfade");
    crossfade->setRange(5, 120);
    crossfade->setSingleStep(5);
    crossfade->setPrefix("Splice crossfade ");
    crossfade->setSuffix(" ms");
    crossfade->setKeyboardTracking(false);
    connect(crossfade, &QSpinBox::valueChanged, this, [m](int ms) {
        auto o = m->options();
        o.crossfadeMs = ms;
        m->setOptions(o);
    });
    row4->addWidget(crossfade);
    auto* exact = exact_ = named(new QCheckBox("Exact lengths (fade the tail at the target)", expertRow), "exactLengths");
    connect(exact, &QCheckBox::toggled, this, [m](bool on) {
        auto o = m->options();
        o.exactLength = on;
        m->setOptions(o);
    });
    row4->addWidget(exact);
    auto* beside = beside_ = named(new QCheckBox("Write edits beside the source", expertRow), "besideSource");
    connect(beside, &QCheckBox::toggled, this,
            [s](bool on) { s->update([on](AppSettings& v) { v.tempEditsBesideSource = on; }); });
    row4->addWidget(beside);
    row4->addStretch(1);
    candidates_ = named(menuButton("Loop candidates", "", ControlSize::small, expertRow), "loopCandidates");
    row4->addWidget(candidates_);
    column->addWidget(expertRow);

    // Row 5: the AI score builder.
    auto* row5 = smallRow(column, 8);
    auto* sparkles = new QLabel(this);
    sparkles->setPixmap(icons::symbol("sparkles", style::purple()).pixmap(QSize(14, 14)));
    row5->addWidget(sparkles);
    auto* score = new QLabel("Build-a-Score", this);
    score->setFont(style::font(12, QFont::DemiBold));
    row5->addWidget(score);
    const char* aiNames[] = {"aiIntro", "aiEnding", "aiVariation"};
    for (size_t i = 0; i < AIGenerator::allKinds.size(); ++i) {
        const auto kind = AIGenerator::allKinds[i];
        auto* b = new QPushButton(QString::fromStdString(AIGenerator::title(kind)), this);
        b->setObjectName(aiNames[i]);
        aiButtons_.push_back(b);
        connect(b, &QPushButton::clicked, this, [this, kind] {
            const auto& doc = editor_.doc();
            if (!doc) return;
            ai_->generate(kind, editor_, EditorModel::editsFolder(doc->url, settings_));
        });
        row5->addWidget(b);
    }
    aiBusy_ = named(new BusyIndicator(16, this), "aiBusy");
    row5->addWidget(aiBusy_);
    auto* status = status_ = named(new ElidedLabel(Qt::ElideRight, this), "aiStatus");
    status->setFont(style::font(style::TextStyle::caption));
    style::setTextColour(status, style::secondaryLabel(palette()));
    row5->addWidget(status);
    row5->addStretch(1);
    auto* usage = usage_ = named(new QLabel(this), "aiUsage");
    usage->setFont(style::font(style::TextStyle::caption2));
    style::setTextColour(usage, style::secondaryLabel(palette()));
    row5->addWidget(usage);

    // Row 6: the last write.
    auto* done = lastExport_ = named(new QWidget(this), "lastExport");
    auto* row6 = new QHBoxLayout(done);
    row6->setContentsMargins(0, 0, 0, 0);
    auto* check = new QLabel(done);
    check->setPixmap(icons::symbol("checkmark.circle.fill", style::green()).pixmap(QSize(14, 14)));
    row6->addWidget(check);
    auto* folder = folder_ = named(new ElidedLabel(Qt::ElideLeft, done), "exportFolder");
    folder->setFont(style::font(style::TextStyle::caption));
    row6->addWidget(folder, 1);
    auto* revealButton = named(new QPushButton("Reveal", done), "reveal");
    connect(revealButton, &QPushButton::clicked, this, [this] {
        if (const auto& result = editor_.lastExport()) reveal_.reveal({result->folder});
    });
    row6->addWidget(revealButton);
    column->addWidget(done);

    connect(ai_, &AIGenerator::revealRequested, this,
            [this](const std::vector<std::filesystem::path>& files) { reveal_.reveal(files); });
    for (auto signal : {&EditorModel::docChanged, &EditorModel::pinsChanged, &EditorModel::analyzingChanged,
                        &EditorModel::analysisChanged, &EditorModel::plansChanged, &EditorModel::optionsChanged,
                        &EditorModel::busyChanged, &EditorModel::lastExportChanged})
        connect(&editor, signal, this, &TempEditsPanel::refresh);
    for (auto signal : {&AIGenerator::runningChanged, &AIGenerator::statusChanged, &AIGenerator::usageChanged})
        connect(ai_, signal, this, &TempEditsPanel::refresh);
    connect(&settings, &SettingsStore::valueChanged, this, &TempEditsPanel::refresh);
    refresh();
}

void TempEditsPanel::rebuildPins() {
    const auto& pins = editor_.pins();
    const auto shown = std::make_pair(pins, editor_.analyzing());
    if (shownPins_ == shown) return;
    shownPins_ = shown;
    clear(pins_);
    if (pins) {
        for (const auto& chip : editortext::pinChips(*pins)) pins_->addWidget(new Chip(chip.text, chipColour(chip.kind), this));
        auto* reset = named(textButton("Reset pins", "Drag the flags in the ruler to move pins; they snap to bar lines",
                                       ControlSize::small, this),
                            "resetPins");
        connect(reset, &QToolButton::clicked, this, [this] { editor_.resetPins(); });
        pins_->addWidget(reset);
    } else if (editor_.analyzing()) {
        auto* finding = named(new QLabel("Finding the sections\u2026", this), "findingSections");
        style::setTextColour(finding, style::secondaryLabel(palette()));
        pins_->addWidget(finding);
    }
}

void TempEditsPanel::rebuildCards() {
    const auto& doc = editor_.doc();
    const std::optional<double> rate = doc ? std::optional<double>(doc->sampleRate) : std::nullopt;
    const bool expert = settings_.value().expertMode;
    auto shown = std::make_tuple(editor_.plans(), rate, expert);
    if (shownCards_ == shown) return;
    shownCards_ = std::move(shown);
    clear(cards_);
    QWidget* strip = cards_->parentWidget();
    for (const auto& plan : editor_.plans()) {
        auto* card = new PlanCard(plan, rate, expert, editor_, strip);
        cards_->addWidget(card);
        // Shown now, so that the strip's height counts it.
        card->show();
    }
    cardStrip_->updateGeometry();
}

void TempEditsPanel::rebuildCandidates() {
    const auto& analysis = editor_.analysis();
    // Only when the list changed: choosing one moves a pin, which must not
    // delete the item being chosen.
    auto shown = analysis ? std::optional(analysis->structure.loopCandidates) : std::nullopt;
    if (candidatesBuilt_ && shownCandidates_ == shown) return;
    candidatesBuilt_ = true;
    shownCandidates_ = std::move(shown);
    QMenu* menu = candidates_->menu();
    menu->clear();
    if (!analysis) return;
    const auto& candidates = analysis->structure.loopCandidates;
    EditorModel* m = &editor_;
    for (size_t i = 0; i < std::min<size_t>(candidates.size(), 6); ++i) {
        const int64_t boundary = candidates[i].boundary;
        connect(menu->addAction(editortext::loopCandidateTitle(candidates[i])), &QAction::triggered, this,
                [m, boundary] { m->movePin(PinKind::loopEnd, m->frame(boundary)); });
    }
}

void TempEditsPanel::refresh() {
    const auto& options = editor_.options();
    const auto& analysis = editor_.analysis();
    const bool expert = settings_.value().expertMode;
    auto setChecked = [](QAbstractButton* b, bool on) {
        QSignalBlocker quiet(b);
        b->setChecked(on);
    };
    for (size_t i = 0; i < targets_.size(); ++i)
        setChecked(targets_[i], std::find(options.targets.begin(), options.targets.end(), lengths[i]) !=
                                    options.targets.end());
    setChecked(extended_, options.extended.has_value());
    make_->setEnabled(!editor_.plans().empty() && !editor_.busy());
    rebuildPins();

    const bool hasNotes = analysis && !analysis->structure.notes.empty();
    notes_->setVisible(hasNotes);
    if (hasNotes) {
        QStringList lines;
        for (const auto& n : analysis->structure.notes) lines << QString::fromStdString(n);
        notes_->setText(lines.join(QStringLiteral(" \u00b7 ")));
    }
    rebuildCards();

    expertRow_->setVisible(expert);
    {
        QSignalBlocker quiet(crossfade_);
        crossfade_->setValue(static_cast<int>(options.crossfadeMs));
    }
    setChecked(exact_, options.exactLength);
    setChecked(beside_, settings_.value().tempEditsBesideSource);
    candidates_->setVisible(analysis.has_value());
    rebuildCandidates();

    // The service is the user's setting, checked as the settings page checks
    // it; without one (or with one that is refused) the buttons say why and
    // nothing can be sent.
    const QString address = QString::fromStdString(settings_.value().aiServiceAddress).trimmed();
    AIGenerator::Service service = ai_->service();
    service.baseAddress = QUrl(address);
    service.key = QString::fromStdString(settings_.value().aiServiceKey);
    ai_->setService(service);
    const std::optional<QString> unavailable = AIGenerator::refusal(address);
    const bool running = ai_->running().has_value();
    for (QPushButton* b : aiButtons_) {
        b->setEnabled(!running && !unavailable && editor_.pins().has_value());
        b->setToolTip(unavailable ? *unavailable
                                  : QStringLiteral("Sends the piece's name, tempo and key, and for an ending or a "
                                                   "variation a clip of it, to ") +
                                        service.baseAddress.host());
    }
    aiBusy_->setVisible(running);
    status_->setVisible(ai_->status().has_value());
    status_->setText(ai_->status().value_or(QString()));
    usage_->setVisible(ai_->usage().has_value());
    usage_->setText(ai_->usage().value_or(QString()));

    const auto& last = editor_.lastExport();
    lastExport_->setVisible(last.has_value());
    if (last) folder_->setText(QString::fromStdString(last->folder.string()));
}

}  // namespace qm
