#include "ui/editor/EditorWindow.h"

#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "audio/AudioFileInfo.h"
#include "ui/editor/EditorHeader.h"
#include "ui/editor/EditorKeys.h"
#include "ui/editor/EditorScrollBar.h"
#include "ui/editor/EditorToolbar.h"
#include "ui/editor/EditorTransport.h"
#include "ui/editor/EditorWaveBridge.h"
#include "ui/editor/EditorWaveView.h"
#include "ui/editor/LaneControls.h"
#include "ui/editor/TempEditsPanel.h"
#include "ui/widgets/BusyIndicator.h"
#include "ui/widgets/ContentMinimum.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/MessageLine.h"
#include "ui/widgets/Style.h"

namespace qm {

using namespace widgets;

namespace {

// The empty state's background: the accent colour at 0.08 while a drag
// hovers, else nothing.
class EmptyState : public QWidget {
public:
    explicit EmptyState(QWidget* parent) : QWidget(parent) {}
    bool tinted = false;

protected:
    void paintEvent(QPaintEvent*) override {
        if (!tinted) return;
        QPainter p(this);
        p.fillRect(rect(), style::withAlpha(style::accent(palette()), 0.08));
    }
};

// The busy badge: a spinner and the text on a rounded plate.
class Badge : public QWidget {
public:
    explicit Badge(QWidget* parent) : QWidget(parent) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(10, 10, 10, 10);
        row->setSpacing(8);
        row->addWidget(new BusyIndicator(16, this));
        text = new QLabel(this);
        text->setObjectName("busyText");
        row->addWidget(text);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    QLabel* text;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(style::withAlpha(style::windowBackground(palette()), 0.92));
        p.drawRoundedRect(QRectF(rect()), 8, 8);
    }
};

QFrame* line(QWidget* parent) { return divider(Qt::Horizontal, 0, parent); }

}  // namespace

EditorWindow::EditorWindow(EditorModel& editor, SettingsStore& settings, FileReveal& reveal,
                           AIGenerator::Service aiWaits, QWidget* parent)
    : QWidget(parent), editor_(editor), settings_(settings) {
    setObjectName("editor");
    setWindowTitle("Editor");
    keepMinimumForContent(*this, QSize(900, 560));
    setAcceptDrops(true);
    chooseOpenFile = [this]() -> std::optional<std::filesystem::path> {
        QStringList patterns;
        for (const auto& ext : AudioFileInfo::audioExtensions()) patterns << QStringLiteral("*.") + QString::fromStdString(ext);
        const QString file = QFileDialog::getOpenFileName(this, QString(), QString(),
                                                          QStringLiteral("Audio files (%1)").arg(patterns.join(' ')));
        if (file.isEmpty()) return std::nullopt;
        return std::filesystem::path(file.toStdString());
    };
    stack_ = new QStackedLayout(this);

    // The empty state.
    auto* empty = new EmptyState(this);
    empty_ = empty;
    empty_->setObjectName("emptyState");
    auto* invite = new QVBoxLayout(empty_);
    invite->setSpacing(10);
    invite->addStretch(1);
    auto* symbol = new QLabel(empty_);
    symbol->setPixmap(icons::symbol("waveform.path.ecg", style::secondaryLabel(palette())).pixmap(QSize(36, 36)));
    invite->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* text = new QLabel(
        "Drop a file here, or choose Open in Editor (Ctrl+E) from the browser or the file manager's panel.", empty_);
    text->setAlignment(Qt::AlignHCenter);
    text->setWordWrap(true);
    style::setTextColour(text, style::secondaryLabel(palette()));
    invite->addWidget(text);
    auto* open = named(new QPushButton("Open\u2026", empty_), "open");
    connect(open, &QPushButton::clicked, this, [this] {
        if (!chooseOpenFile) return;
        if (auto file = chooseOpenFile()) editor_.open(*file);
    });
    invite->addWidget(open, 0, Qt::AlignHCenter);
    // Why the last opening failed, where the user looks without a document.
    emptyMessage_ = named(new MessageLine(empty_), "emptyMessage");
    emptyMessage_->setAlignment(Qt::AlignHCenter);
    invite->addWidget(emptyMessage_);
    invite->addStretch(1);
    stack_->addWidget(empty_);

    // The document stack.
    document_ = new QWidget(this);
    document_->setObjectName("document");
    auto* rows = new QVBoxLayout(document_);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    rows->addWidget(new EditorHeader(editor, settings, document_));
    rows->addWidget(line(document_));
    rows->addWidget(new EditorToolbar(editor, settings, document_));
    rows->addWidget(line(document_));
    auto* middle = new QHBoxLayout;
    middle->setSpacing(0);
    middle->addWidget(new LaneControls(editor, settings, document_));
    wave_ = new EditorWaveView(document_);
    wave_->setMinimumHeight(220);
    new EditorWaveBridge(editor, *wave_);
    auto* waveColumn = new QVBoxLayout;
    waveColumn->setSpacing(0);
    waveColumn->addWidget(wave_, 1);
    waveColumn->addWidget(new EditorScrollBar(editor, document_));
    middle->addLayout(waveColumn, 1);
    rows->addLayout(middle, 1);
    rows->addWidget(line(document_));
    rows->addWidget(new EditorTransport(editor, document_));
    rows->addWidget(line(document_));
    panel_ = new TempEditsPanel(editor, settings, reveal, aiWaits, document_);
    rows->addWidget(panel_);
    stack_->addWidget(document_);

    editorkeys::install(*this, editor);

    badge_ = new Badge(this);
    badge_->setObjectName("busyBadge");
    badge_->hide();

    connect(&editor, &EditorModel::docChanged, this, &EditorWindow::refresh);
    connect(&editor, &EditorModel::busyChanged, this, &EditorWindow::refresh);
    connect(&editor, &EditorModel::messageChanged, this, &EditorWindow::refresh);
    refresh();
}

std::optional<std::filesystem::path> EditorWindow::droppedAudioFile(const QList<QUrl>& urls) {
    if (urls.isEmpty() || !urls.first().isLocalFile()) return std::nullopt;
    const std::filesystem::path file = urls.first().toLocalFile().toStdString();
    const QString ext = QString::fromStdString(file.extension().string()).mid(1).toLower();
    if (!AudioFileInfo::audioExtensions().contains(ext.toStdString())) return std::nullopt;
    return file;
}

void EditorWindow::refresh() {
    stack_->setCurrentWidget(editor_.doc() ? document_ : empty_);
    const auto& message = editor_.message();
    emptyMessage_->setMessage(message ? std::optional(QString::fromStdString(*message)) : std::nullopt);
    const auto& busy = editor_.busy();
    static_cast<Badge*>(badge_)->text->setText(QString::fromStdString(busy.value_or("")));
    badge_->setVisible(busy.has_value());
    placeBadge();
}

void EditorWindow::placeBadge() {
    badge_->adjustSize();
    badge_->move((width() - badge_->width()) / 2, (height() - badge_->height()) / 2);
    badge_->raise();
}

void EditorWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeBadge();
}

void EditorWindow::setDropTargeted(bool on) {
    if (dropTargeted_ == on) return;
    dropTargeted_ = on;
    // Only the empty state shows the hover; with a document the drop works
    // the same but nothing is highlighted.
    static_cast<EmptyState*>(empty_)->tinted = on;
    empty_->update();
}

void EditorWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasUrls()) return;
    event->acceptProposedAction();
    setDropTargeted(true);
}

void EditorWindow::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void EditorWindow::dragLeaveEvent(QDragLeaveEvent* event) {
    QWidget::dragLeaveEvent(event);
    setDropTargeted(false);
}

void EditorWindow::dropEvent(QDropEvent* event) {
    setDropTargeted(false);
    // Accepted whatever it holds: a file that is not audio is passed over
    // without a word, as the desktop shows no refusal either.
    event->acceptProposedAction();
    if (auto file = droppedAudioFile(event->mimeData()->urls())) {
        EditorModel* m = &editor_;
        QMetaObject::invokeMethod(this, [m, file = *file] { m->open(file); }, Qt::QueuedConnection);
    }
}

}  // namespace qm
