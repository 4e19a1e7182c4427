#include "ui/editor/EditorHeader.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "ui/editor/EditorTexts.h"
#include "ui/widgets/BusyIndicator.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

using namespace widgets;

namespace {

// The orange dot of a document with unsaved edits.
class Dot : public QWidget {
public:
    explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(6, 6); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(style::orange());
        p.drawEllipse(rect());
    }
};

QLabel* secondaryLabel(QWidget* parent) {
    auto* l = new QLabel(parent);
    style::setTextColour(l, style::secondaryLabel(l->palette()));
    return l;
}

}  // namespace

EditorHeader::EditorHeader(EditorModel& editor, SettingsStore& settings, QWidget* parent)
    : QWidget(parent), editor_(editor), settings_(settings) {
    setControlSize(this, ControlSize::small);
    chooseSaveFile = [this](const std::filesystem::path& suggestion) -> std::optional<std::filesystem::path> {
        const QString file = QFileDialog::getSaveFileName(this, QString(), QString::fromStdString(suggestion.string()),
                                                          QStringLiteral("WAV audio (*.wav)"));
        if (file.isEmpty()) return std::nullopt;
        return std::filesystem::path(file.toStdString());
    };
    chooseTempo = [this]() -> std::optional<double> {
        bool ok = false;
        const double bpm = QInputDialog::getDouble(this, editortext::handTempoLabel(), QStringLiteral("Beats per minute:"),
                                                   120, 20, 400, 2, &ok);
        return ok ? std::optional(bpm) : std::nullopt;
    };
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(12);

    auto* title = new QVBoxLayout;
    title->setSpacing(2);
    auto* line1 = new QHBoxLayout;
    line1->setSpacing(6);
    auto* name = named(new ElidedLabel(Qt::ElideMiddle, this), "name");
    name->setFont(style::font(style::TextStyle::headline));
    line1->addWidget(name, 0, Qt::AlignVCenter);
    auto* dot = named(new Dot(this), "dirty");
    dot->setToolTip("Unsaved edits");
    line1->addWidget(dot, 0, Qt::AlignVCenter);
    line1->addStretch(1);
    title->addLayout(line1);
    auto* summary = named(secondaryLabel(this), "summary");
    summary->setFont(style::font(style::TextStyle::caption));
    title->addWidget(summary);
    row->addLayout(title, 1);
    row->addStretch(1);

    auto* analyzing = named(new QWidget(this), "analyzing");
    auto* spin = new QHBoxLayout(analyzing);
    spin->setContentsMargins(0, 0, 0, 0);
    spin->addWidget(new BusyIndicator(16, analyzing));
    auto* analyzingText = secondaryLabel(analyzing);
    analyzingText->setText("Analyzing\u2026");
    spin->addWidget(analyzingText);
    row->addWidget(analyzing, 0, Qt::AlignVCenter);

    auto* tempoRow = new QHBoxLayout;
    tempoRow->setSpacing(4);
    tempoRow->addWidget(named(menuButton("", "", ControlSize::small, this), "tempo"), 0, Qt::AlignVCenter);
    auto* twin = named(new QLabel(this), "twin");
    twin->setPixmap(icons::symbol("exclamationmark.triangle.fill", style::orange()).pixmap(QSize(12, 12)));
    tempoRow->addWidget(twin, 0, Qt::AlignVCenter);
    row->addLayout(tempoRow);
    row->addWidget(named(menuButton("", "", ControlSize::small, this), "meter"), 0, Qt::AlignVCenter);
    row->addWidget(named(secondaryLabel(this), "key"), 0, Qt::AlignVCenter);
    row->addWidget(named(secondaryLabel(this), "loudness"), 0, Qt::AlignVCenter);

    EditorModel* m = &editor;
    auto* click = named(asSwitch(symbolButton("metronome",
                                              "Click on the grid while playing. If the click sits, the tempo is right.",
                                              ControlSize::small, this)),
                        "click");
    connect(click, &QToolButton::toggled, this, [m](bool on) { m->setClick(on); });
    row->addWidget(click, 0, Qt::AlignVCenter);
    auto* expert = named(asSwitch(symbolButton("slider.horizontal.3", "Expert mode", ControlSize::small, this)), "expert");
    SettingsStore* s = &settings;
    connect(expert, &QToolButton::toggled, this, [s](bool on) { s->update([on](AppSettings& v) { v.expertMode = on; }); });
    row->addWidget(expert, 0, Qt::AlignVCenter);
    auto* saveAs = named(textButton("Save As\u2026", "", ControlSize::small, this), "saveAs");
    connect(saveAs, &QToolButton::clicked, this, [this] {
        const auto suggestion = editor_.saveAsSuggestion();
        if (!suggestion || !chooseSaveFile) return;
        if (auto file = chooseSaveFile(*suggestion)) editor_.saveAs(*file);
    });
    row->addWidget(saveAs, 0, Qt::AlignVCenter);

    for (auto signal : {&EditorModel::docChanged, &EditorModel::revisionChanged, &EditorModel::analysisChanged,
                        &EditorModel::analyzingChanged, &EditorModel::clickChanged})
        connect(&editor, signal, this, &EditorHeader::refresh);
    connect(&settings, &SettingsStore::valueChanged, this, &EditorHeader::refresh);
    refresh();
}

void EditorHeader::rebuildMenus() {
    const auto& analysis = editor_.analysis();
    // Rebuilt only when what they list changed: a choice that re-analyses
    // must not delete the item being chosen.
    auto shown = analysis ? std::optional(std::make_tuple(analysis->tempo.candidates, analysis->grid.bpm,
                                                          settings_.value().expertMode))
                          : std::nullopt;
    if (menusBuilt_ && shownMenus_ == shown) return;
    menusBuilt_ = true;
    shownMenus_ = std::move(shown);
    auto* tempo = findChild<QToolButton*>("tempo");
    auto* meter = findChild<QToolButton*>("meter");
    tempo->menu()->clear();
    meter->menu()->clear();
    EditorModel* m = &editor_;
    QMenu* t = tempo->menu();
    t->addSection("Tempo");
    if (analysis)
        for (const auto& item : editortext::tempoCandidates(analysis->tempo, settings_.value().expertMode))
            connect(t->addAction(item.title), &QAction::triggered, this, [m, bpm = item.bpm] { m->setTempo(bpm); });
    // No pulse was found, or the grid stands on a tempo set by hand: a
    // tempo can only be typed in.
    if (!analysis || analysis->tempo.candidates.empty())
        connect(t->addAction(editortext::enterTempoItem()), &QAction::triggered, this, [this] {
            if (!chooseTempo) return;
            if (auto bpm = chooseTempo()) editor_.setTempo(*bpm);
        });
    if (analysis) {
        t->addSection("Relations");
        for (const auto& item : editortext::tempoRelations(analysis->grid))
            connect(t->addAction(item.title), &QAction::triggered, this, [m, bpm = item.bpm] { m->setTempo(bpm); });
    }
    for (const auto& [title, beats] : editortext::meterItems())
        connect(meter->menu()->addAction(title), &QAction::triggered, this, [m, n = beats] { m->setBeatsPerBar(n); });
}

void EditorHeader::refresh() {
    const auto& doc = editor_.doc();
    const auto& analysis = editor_.analysis();
    const bool expert = settings_.value().expertMode;
    if (doc) {
        findChild<ElidedLabel*>("name")->setText(QString::fromStdString(doc->url.filename().string()));
        findChild<QLabel*>("summary")->setText(editortext::docSummary(*doc));
    }
    findChild<QWidget*>("dirty")->setVisible(doc && doc->dirty);
    const bool analyzing = editor_.analyzing();
    const bool results = !analyzing && analysis.has_value();
    findChild<QWidget*>("analyzing")->setVisible(analyzing);
    // Without a result the tempo and the bar length can still be set by hand.
    for (const char* name : {"tempo", "meter"}) findChild<QWidget*>(name)->setVisible(doc && !analyzing);
    for (const char* name : {"key", "loudness"}) findChild<QWidget*>(name)->setVisible(results);
    findChild<QWidget*>("twin")->setVisible(results && analysis->tempo.twin.has_value());
    auto* tempo = findChild<QToolButton*>("tempo");
    auto* meter = findChild<QToolButton*>("meter");
    if (!analysis) {
        tempo->setText(editortext::handTempoLabel());
        meter->setText(editortext::handMeterLabel(editor_.askedBeatsPerBar()));
        meter->setToolTip(editortext::handMeterHelp());
    } else {
        tempo->setText(editortext::tempoLabel(analysis->grid));
        if (analysis->tempo.twin) findChild<QLabel*>("twin")->setToolTip(editortext::twinHelp(*analysis->tempo.twin));
        meter->setText(editortext::meterLabel(analysis->grid));
        meter->setToolTip(editortext::meterHelp(analysis->grid));
        auto* key = findChild<QLabel*>("key");
        key->setText(editortext::keyText(analysis->key));
        key->setToolTip(editortext::keyHelp(analysis->key));
        auto* loudness = findChild<QLabel*>("loudness");
        loudness->setText(editortext::loudnessText(analysis->loudness, expert));
        loudness->setToolTip(editortext::loudnessHelp(analysis->loudness));
    }
    rebuildMenus();
    auto* click = findChild<QToolButton*>("click");
    click->setEnabled(analysis.has_value());
    auto* expertSwitch = findChild<QToolButton*>("expert");
    for (auto [button, on] : {std::pair{click, editor_.click()}, std::pair{expertSwitch, expert}}) {
        QSignalBlocker quiet(button);
        button->setChecked(on);
    }
}

}  // namespace qm
