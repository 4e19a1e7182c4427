#include "ui/editor/EditorTransport.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/editor/EditorModel.h"
#include "ui/editor/EditorKeys.h"
#include "ui/editor/EditorTexts.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/MessageLine.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

using namespace widgets;

int64_t EditorTransport::step(double sampleRate) { return static_cast<int64_t>(sampleRate * 5.0); }

EditorTransport::EditorTransport(EditorModel& editor, QWidget* parent) : QWidget(parent), editor_(editor) {
    setFont(style::font(11, QFont::Normal, true));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 6, 12, 6);
    column->setSpacing(4);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    column->addLayout(row);
    const auto small = ControlSize::small;
    EditorModel* m = &editor;
    auto add = [&](QToolButton* b, auto action) {
        b->setFont(font());
        row->addWidget(b, 0, Qt::AlignVCenter);
        connect(b, &QToolButton::clicked, this, action);
        return b;
    };
    auto* self = this;
    using editorkeys::Key;
    using editorkeys::withKey;
    add(named(symbolButton("backward.end.fill", withKey("Return to zero", Key::toStart), small, this), "toZero"), [m] {
        m->stop();
        m->setCursor(0);
    });
    auto* back = add(named(symbolButton("backward.fill", "", small, this), "back"), [m] {
        if (!m->doc()) return;
        m->setCursor(std::max<int64_t>(m->cursor() - step(m->doc()->sampleRate), 0));
    });
    play_ = add(named(symbolButton("play.fill", "Play/Stop (Space). Plays from the cursor or the selection.", small, this),
                      "play"),
                [m] {
                    if (m->isPlaying())
                        m->stop();
                    else
                        m->play();
                });
    play_->setFixedWidth(std::max(play_->sizeHint().width(), 16));
    // The one key the editor window binds. A window shortcut: a focused text
    // field takes Space for itself first.
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this, nullptr, nullptr, Qt::WindowShortcut);
    connect(space, &QShortcut::activated, play_, &QToolButton::click);
    auto* forward = add(named(symbolButton("forward.fill", "", small, this), "forward"), [m, self] {
        if (!m->doc()) return;
        m->setCursor(std::min<int64_t>(m->cursor() + step(m->doc()->sampleRate), self->length()));
    });
    back->setAccessibleName(QStringLiteral("Back 5 seconds"));
    forward->setAccessibleName(QStringLiteral("Forward 5 seconds"));
    add(named(symbolButton("forward.end.fill", withKey("To the end", Key::toEnd), small, this), "toEnd"), [m, self] {
        m->stop();
        m->setCursor(self->length());
    });
    auto* loop = named(asSwitch(symbolButton("repeat", "Loop the selection, or the whole file", small, this)), "loop");
    row->addWidget(loop, 0, Qt::AlignVCenter);
    connect(loop, &QToolButton::toggled, this, [m](bool on) { m->setLoopPlayback(on); });
    auto* pre = named(asSwitch(textButton("Pre", "2 s pre-roll", small, this)), "preRoll");
    pre->setFont(font());
    row->addWidget(pre, 0, Qt::AlignVCenter);
    connect(pre, &QToolButton::toggled, this, [m](bool on) { m->setPreRoll(on); });
    add(named(textButton("Hear the loop seam", "Starts 2 bars before the loop end and wraps to the loop start until you stop",
                         small, this),
              "loopSeam"),
        [m] { m->auditionLoopPoint(); });
    row->addStretch(1);

    pos_ = named(new QLabel(this), "pos");
    sel_ = named(new QLabel(this), "sel");
    len_ = named(new QLabel(this), "len");
    style::setTextColour(sel_, style::accent(palette()));
    style::setTextColour(len_, style::secondaryLabel(palette()));
    for (QWidget* w : {static_cast<QWidget*>(pos_), static_cast<QWidget*>(sel_), static_cast<QWidget*>(len_)})
        row->addWidget(w, 0, Qt::AlignVCenter);
    // The message has a line of its own, wrapped: a reason is never cut off.
    message_ = named(new MessageLine(this), "message");
    column->addWidget(message_);

    for (auto signal : {&EditorModel::docChanged, &EditorModel::revisionChanged, &EditorModel::selectionChanged,
                        &EditorModel::cursorChanged, &EditorModel::isPlayingChanged, &EditorModel::analysisChanged,
                        &EditorModel::pinsChanged, &EditorModel::messageChanged, &EditorModel::loopPlaybackChanged,
                        &EditorModel::preRollChanged})
        connect(&editor, signal, this, &EditorTransport::refresh);
    connect(editor.playhead(), &PlayheadModel::frameChanged, this, &EditorTransport::refreshPosition);
    refresh();
}

int64_t EditorTransport::length() const {
    const auto& doc = editor_.doc();
    return doc ? doc->frames() : 0;
}

void EditorTransport::refreshPosition() {
    const auto& doc = editor_.doc();
    if (!doc) return;
    const int64_t frame =
        editor_.isPlaying() ? static_cast<int64_t>(editor_.playhead()->frame()) : static_cast<int64_t>(editor_.cursor());
    const auto& analysis = editor_.analysis();
    const QString text = QStringLiteral("POS ") +
                         editortext::position(frame, doc->sampleRate, analysis ? &*analysis : nullptr);
    if (pos_->text() != text) pos_->setText(text);
}

void EditorTransport::refresh() {
    const auto& doc = editor_.doc();
    const bool playing = editor_.isPlaying();
    play_->setIcon(icons::symbol(playing ? "stop.fill" : "play.fill"));
    auto setChecked = [this](const char* name, bool on) {
        auto* b = findChild<QToolButton*>(name);
        QSignalBlocker quiet(b);
        b->setChecked(on);
    };
    setChecked("loop", editor_.loopPlayback());
    setChecked("preRoll", editor_.preRoll());
    findChild<QToolButton*>("loopSeam")->setEnabled(editor_.pins().has_value());
    const double rate = doc && doc->sampleRate > 0 ? doc->sampleRate : 0;
    auto seconds = [rate](int64_t frames) { return rate > 0 ? static_cast<double>(frames) / rate : 0.0; };
    refreshPosition();
    const auto& sel = editor_.selection();
    sel_->setVisible(doc && sel);
    if (sel) sel_->setText(QStringLiteral("SEL ") + editortext::time(seconds(sel->length())));
    len_->setVisible(doc.has_value());
    len_->setText(QStringLiteral("LEN ") + editortext::time(seconds(length())));
    const auto& message = editor_.message();
    message_->setMessage(message ? std::optional(QString::fromStdString(*message)) : std::nullopt);
    pos_->setVisible(doc.has_value());
}

}  // namespace qm
