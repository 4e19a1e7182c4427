#include "ui/UiTestSupport.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAction>
#include <QBoxLayout>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QSplitter>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedLayout>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QTableView>
#include <QToolButton>
#include <QWidget>

#include <set>

#include <gtest/gtest.h>

#include <thread>

#include "support/AudioFiles.h"
#include "support/RhythmSignals.h"
#include "ui/widgets/ElidedLabel.h"

namespace qm::test {

bool waitFor(const std::function<bool()>& cond, ManualMainQueue* queue, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QApplication::processEvents();
        if (queue) queue->runDue();
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

std::filesystem::path outputFolder() {
    const std::filesystem::path folder = std::filesystem::path(QM_TEST_OUTPUT) / "ui";
    std::filesystem::create_directories(folder);
    return folder;
}

void savePng(const QImage& image, const QString& name) {
    const auto file = outputFolder() / (name.toStdString() + ".png");
    EXPECT_TRUE(image.save(QString::fromStdString(file.string()))) << file;
}

void savePng(QWidget& widget, const QString& name) {
    if (!widget.isVisible()) widget.show();
    QApplication::processEvents();
    // What those events changed (a text that came meanwhile) laid out, as
    // it is before it is painted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    savePng(widget.grab().toImage(), name);
    for (const QStringList& found : {foreignWords(widget), clippedTexts(widget), overlaps(widget), elidedTexts(widget)})
        EXPECT_TRUE(found.isEmpty()) << name.toStdString() << ":\n" << found.join(QLatin1Char('\n')).toStdString();
}

namespace {

void addMenuTexts(QMenu* menu, QStringList& out, std::set<QMenu*>& seen) {
    if (!menu || !seen.insert(menu).second) return;
    for (QAction* a : menu->actions()) {
        if (!a->text().isEmpty()) out << a->text();
        if (!a->toolTip().isEmpty() && a->toolTip() != a->text()) out << a->toolTip();
        addMenuTexts(a->menu(), out, seen);
    }
}

QString describe(const QWidget* w) {
    return (w->objectName().isEmpty() ? QStringLiteral("?") : w->objectName()) + QStringLiteral(" (") +
           QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(')');
}

// Whether the user sees the widget now, as far as the root goes.
bool shown(const QWidget* w, const QWidget& root) {
    return (w == &root ? w->isVisible() : w->isVisibleTo(&root)) && !w->size().isEmpty();
}

}  // namespace

QStringList readableTexts(QWidget& root) {
    QStringList out;
    std::set<QMenu*> menus;
    QList<QWidget*> all = root.findChildren<QWidget*>();
    all.prepend(&root);
    for (QWidget* w : all) {
        if (!w->toolTip().isEmpty()) out << w->toolTip();
        if (w->isWindow() && !w->windowTitle().isEmpty()) out << w->windowTitle();
        if (auto* l = qobject_cast<QLabel*>(w)) out << l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            out << b->text();
            if (auto* tool = qobject_cast<QToolButton*>(w)) addMenuTexts(tool->menu(), out, menus);
            if (auto* push = qobject_cast<QPushButton*>(w)) addMenuTexts(push->menu(), out, menus);
        }
        if (auto* e = qobject_cast<QLineEdit*>(w)) out << e->placeholderText();
        if (auto* g = qobject_cast<QGroupBox*>(w)) out << g->title();
        if (auto* c = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
        if (auto* t = qobject_cast<QTableView*>(w)) {
            for (int c = 0; t->model() && c < t->model()->columnCount(); ++c)
                out << t->model()->headerData(c, Qt::Horizontal).toString();
        }
        if (auto* tabs = qobject_cast<QTabBar*>(w))
            for (int i = 0; i < tabs->count(); ++i) out << tabs->tabText(i) << tabs->tabToolTip(i);
        if (auto* m = qobject_cast<QMenu*>(w)) addMenuTexts(m, out, menus);
        for (QAction* a : w->actions()) {
            out << a->text() << a->toolTip();
            addMenuTexts(a->menu(), out, menus);
        }
        if (const QVariant text = w->property("text"); text.isValid() && text.canConvert<QString>())
            out << text.toString();
    }
    out.removeAll(QString());
    out.removeDuplicates();
    return out;
}

QStringList foreignWords(const QStringList& texts) {
    static const QStringList kWords = {
        QStringLiteral("Finder"),          QStringLiteral("Quick Look"),      QStringLiteral("\u2318"),
        QStringLiteral("\u2325"),          QStringLiteral("\u21e7"),          QStringLiteral("Audio Unit"),
        QStringLiteral("System Settings"), QStringLiteral("System Preferences"), QStringLiteral("Automation"),
        QStringLiteral("brew ")};
    QStringList out;
    for (const QString& text : texts)
        for (const QString& word : kWords)
            if (text.contains(word)) out << text;
    out.removeDuplicates();
    return out;
}

QStringList foreignWords(QWidget& root) { return foreignWords(readableTexts(root)); }

QStringList clippedTexts(QWidget& root) {
    QStringList out;
    QList<QWidget*> all = root.findChildren<QWidget*>();
    all.prepend(&root);
    for (QWidget* w : all) {
        if (!shown(w, root) || w->inherits("qm::widgets::ElidedLabel")) continue;
        QString text;
        QSize needs;
        QSize has = w->size();
        if (auto* l = qobject_cast<QLabel*>(w); l && l->wordWrap() && !l->text().isEmpty()) {
            // Wrapped: as wide as it is, all its lines must fit its height.
            text = l->text();
            needs = QSize(0, l->heightForWidth(l->width()));
        } else if (l) {
            if (l->text().isEmpty() || l->textFormat() == Qt::RichText ||
                (l->textFormat() == Qt::AutoText && Qt::mightBeRichText(l->text())))
                continue;
            text = l->text();
            const QFontMetrics m(l->font());
            const QStringList lines = text.split(QLatin1Char('\n'));
            int width = 0;
            for (const QString& line : lines) width = std::max(width, m.horizontalAdvance(line));
            needs = QSize(width, m.height() * static_cast<int>(lines.size()));
            has = l->contentsRect().size() - QSize(2 * l->margin(), 2 * l->margin());
            if (l->indent() > 0) has.rwidth() -= l->indent();
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            if (b->text().isEmpty()) continue;
            text = b->text();
            // A button's own hint holds its text, icon, indicator and margins.
            needs = b->sizeHint();
        } else if (auto* c = qobject_cast<QComboBox*>(w)) {
            // The shown text with the box's frame and arrow around it (the
            // box's own hints are cached from items it may no longer hold).
            text = c->currentText();
            QStyleOptionComboBox option;
            option.initFrom(c);
            option.editable = c->isEditable();
            const QFontMetrics m(c->font());
            needs = c->style()->sizeFromContents(QStyle::CT_ComboBox, &option,
                                                 QSize(m.horizontalAdvance(text), m.height()), c);
        } else if (auto* s = qobject_cast<QAbstractSpinBox*>(w)) {
            text = s->text();
            needs = s->minimumSizeHint();
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            if (g->title().isEmpty()) continue;
            text = g->title();
            needs = QSize(QFontMetrics(g->font()).horizontalAdvance(g->title()) + 8, 0);
        } else if (w->inherits("qm::widgets::Chip") || w->inherits("qm::widgets::Segments")) {
            text = w->property("text").toString();
            needs = w->sizeHint();
        } else if (auto* t = qobject_cast<QTableView*>(w); t && t->model() && t->horizontalHeader()->isVisible()) {
            const QHeaderView* h = t->horizontalHeader();
            for (int c = 0; c < t->model()->columnCount(); ++c) {
                if (h->isSectionHidden(c)) continue;
                const QString title = t->model()->headerData(c, Qt::Horizontal).toString();
                const int width = QFontMetrics(h->font()).horizontalAdvance(title) + 8;
                if (width > h->sectionSize(c))
                    out << QStringLiteral("%1 column \"%2\": needs %3, has %4")
                               .arg(describe(t), title)
                               .arg(width)
                               .arg(h->sectionSize(c));
            }
            continue;
        } else {
            continue;
        }
        // One pixel of rounding either way.
        if (needs.width() > has.width() + 1 || needs.height() > has.height() + 1)
            out << QStringLiteral("%1 \"%2\": needs %3 x %4, has %5 x %6")
                       .arg(describe(w), text)
                       .arg(needs.width())
                       .arg(needs.height())
                       .arg(has.width())
                       .arg(has.height());
    }
    return out;
}

namespace {

void layoutWidgets(QLayout* layout, QList<QWidget*>& out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* w = item->widget())
            out << w;
        else if (QLayout* inner = item->layout())
            layoutWidgets(inner, out);
    }
}

}  // namespace

QStringList overlaps(QWidget& root) {
    QStringList out;
    QList<QWidget*> all = root.findChildren<QWidget*>();
    all.prepend(&root);
    for (QWidget* parent : all) {
        if (!shown(parent, root)) continue;
        // A scroll area cuts what it shows no scroll bar for. With none
        // either way it is a strip, scrolled by the wheel along the row or
        // column its content lays out.
        if (auto* area = qobject_cast<QScrollArea*>(parent); area && area->widget()) {
            const QSize content = area->widget()->size();
            const QSize room = area->viewport()->size();
            bool acrossOff = area->horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOff;
            bool downOff = area->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff;
            if (auto* box = qobject_cast<QBoxLayout*>(area->widget()->layout()); box && acrossOff && downOff) {
                const bool row = box->direction() == QBoxLayout::LeftToRight || box->direction() == QBoxLayout::RightToLeft;
                (row ? acrossOff : downOff) = false;
            }
            if ((acrossOff && content.width() > room.width()) || (downOff && content.height() > room.height()))
                out << QStringLiteral("%1 cuts what it holds: %2x%3 in %4x%5")
                           .arg(describe(area))
                           .arg(content.width())
                           .arg(content.height())
                           .arg(room.width())
                           .arg(room.height());
        }
        QList<QWidget*> placed;
        if (auto* split = qobject_cast<QSplitter*>(parent)) {
            for (int i = 0; i < split->count(); ++i) placed << split->widget(i);
        } else if (qobject_cast<QStackedLayout*>(parent->layout())) {
            continue;
        } else if (parent->layout()) {
            layoutWidgets(parent->layout(), placed);
        }
        // What the views place by hand among them (the toolkit's own widgets
        // keep their parts where they belong).
        for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!child->isWindow() && !placed.contains(child) &&
                QByteArray(child->metaObject()->className()).startsWith("qm::"))
                placed << child;
        QList<QWidget*> visible;
        for (QWidget* w : placed)
            if (w->parentWidget() == parent && shown(w, root)) visible << w;
        for (int i = 0; i < visible.size(); ++i) {
            const QRect box = visible[i]->geometry();
            if (!parent->rect().contains(box))
                out << QStringLiteral("%1 sticks out of %2: %3,%4 %5x%6 in %7x%8")
                           .arg(describe(visible[i]), describe(parent))
                           .arg(box.x())
                           .arg(box.y())
                           .arg(box.width())
                           .arg(box.height())
                           .arg(parent->width())
                           .arg(parent->height());
            for (int j = i + 1; j < visible.size(); ++j)
                if (box.intersects(visible[j]->geometry()))
                    out << QStringLiteral("%1 meets %2 in %3").arg(describe(visible[i]), describe(visible[j]),
                                                                   describe(parent));
        }
    }
    return out;
}

QStringList elidedTexts(QWidget& root, int least) {
    QStringList out;
    QList<QWidget*> all = root.findChildren<QWidget*>();
    all.prepend(&root);
    for (QWidget* w : all) {
        if (!shown(w, root)) continue;
        if (auto* label = qobject_cast<widgets::ElidedLabel*>(w)) {
            const QString shownText = label->shownText();
            const qsizetype kept = shownText.size() - 1;
            if (shownText != label->text() && kept < std::min<qsizetype>(least, label->text().size()))
                out << QStringLiteral("%1 \"%2\" shows \"%3\"").arg(describe(w), label->text(), shownText);
            continue;
        }
        auto* table = qobject_cast<QTableView*>(w);
        if (!table || !table->model()) continue;
        const QAbstractItemModel& model = *table->model();
        const QHeaderView* header = table->horizontalHeader();
        const int rows = model.rowCount();
        if (rows == 0) continue;
        int first = table->rowAt(0), last = table->rowAt(table->viewport()->height() - 1);
        if (first < 0) first = 0;
        if (last < 0) last = rows - 1;
        // The room each column has beyond what its widest cell (or title) needs.
        const int columns = model.columnCount();
        std::vector<int> slack(columns, 0);
        for (int c = 0; c < columns; ++c) {
            if (header->isSectionHidden(c)) continue;
            int content = header->sectionSizeHint(c);
            for (int r = first; r <= last; ++r) content = std::max(content, table->sizeHintForIndex(model.index(r, c)).width());
            slack[c] = header->sectionSize(c) - content;
        }
        const QFontMetrics m(table->font());
        for (int c = 0; c < columns; ++c) {
            // The other column with the most room to spare.
            int wasted = -1;
            for (int d = 0; d < columns; ++d)
                if (d != c && slack[d] > 1 && (wasted < 0 || slack[d] > slack[wasted])) wasted = d;
            if (header->isSectionHidden(c) || wasted < 0) continue;
            for (int r = first; r <= last; ++r) {
                const QModelIndex index = model.index(r, c);
                const QString text = model.data(index).toString();
                const int needs = table->sizeHintForIndex(index).width();
                if (text.isEmpty() || needs <= header->sectionSize(c)) continue;
                const int room = header->sectionSize(c) - (needs - m.horizontalAdvance(text));
                const qsizetype kept = std::max<qsizetype>(m.elidedText(text, table->textElideMode(), room).size() - 1, 0);
                if (kept < std::min<qsizetype>(least, text.size()))
                    out << QStringLiteral("%1 column \"%2\" shows %3 of \"%4\" while \"%5\" has %6 px to spare")
                               .arg(describe(table), model.headerData(c, Qt::Horizontal).toString())
                               .arg(kept)
                               .arg(text, model.headerData(wasted, Qt::Horizontal).toString())
                               .arg(slack[wasted]);
            }
        }
    }
    return out;
}

void writePiece(const std::filesystem::path& file, double seconds, double sampleRate, int channels) {
    const auto piece = drumPattern({.seconds = seconds, .sampleRate = sampleRate});
    Planar planar(static_cast<size_t>(channels), piece.samples);
    if (channels == 2) std::fill(planar[1].begin(), planar[1].end(), 0.f);
    writeAudioFile(file, planar, sampleRate);
}

EditorFixture::~EditorFixture() {
    model.stop();
    // Lets the thread pool's work for this model finish before it goes.
    test::waitFor([&] { return !model.busy() && !model.analyzing(); }, &queue, std::chrono::seconds(20));
}

void EditorFixture::open(const std::filesystem::path& file) {
    model.open(file);
    settle();
}

void EditorFixture::settle() {
    ASSERT_TRUE(waitFor([&] { return !model.busy() && !model.analyzing(); }));
}

void EditorFixture::setExpert(bool on) {
    settings.update([on](AppSettings& s) { s.expertMode = on; });
}

}  // namespace qm::test
