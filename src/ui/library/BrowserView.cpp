#include "ui/library/BrowserView.h"

#include <QAbstractButton>
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include <climits>
#include <unordered_set>

#include "app/core/SettingsStore.h"
#include "app/core/FileReveal.h"
#include "app/player/PlayerModel.h"
#include "app/shell/AppActions.h"
#include "audio/AudioFileInfo.h"
#include "ui/library/BrowserTableModel.h"
#include "ui/library/FileSelection.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/FileDrag.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/MessageLine.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace fs = std::filesystem;
using widgets::named;

namespace {

// A filter's capsule: its title and a clear mark on the accent colour at
// 0.15 opacity; a click clears the filter.
class FilterChipButton : public QAbstractButton {
public:
    FilterChipButton(const QString& title, QWidget* parent) : QAbstractButton(parent) {
        setText(title);
        setFont(style::font(style::TextStyle::caption));
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        setToolTip(title);
    }
    QSize sizeHint() const override {
        const QFontMetrics m(font());
        const int mark = m.height();
        return QSize(6 + m.horizontalAdvance(text()) + 3 + mark + 6, m.height() + 4);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor accent = style::accent(palette());
        const QRectF r = QRectF(rect());
        p.setPen(Qt::NoPen);
        p.setBrush(style::withAlpha(accent, isDown() ? 0.3 : 0.15));
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        const QFontMetrics m(font());
        const int mark = m.height() - 2;
        const QRect textRect = rect().adjusted(6, 2, -(6 + 3 + mark), -2);
        p.setPen(style::label(palette()));
        p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text());
        const QPixmap x = icons::ownPixmap(QStringLiteral("xmark.circle.fill"), mark, style::secondaryLabel(palette()),
                                           devicePixelRatioF());
        p.drawPixmap(QPoint(width() - 6 - mark, (height() - mark) / 2), x);
    }
};

// The table: its drags carry the selected files (folders left out) and go
// through the one file drag of every view.
class FileTable : public QTableView {
public:
    using QTableView::QTableView;

protected:
    void startDrag(Qt::DropActions) override {
        QModelIndexList draggable;
        for (const QModelIndex& index : selectionModel()->selectedRows())
            if (model()->flags(index) & Qt::ItemIsDragEnabled) draggable.push_back(index);
        const std::unique_ptr<QMimeData> mime(model()->mimeData(draggable));
        if (!mime || mime->urls().isEmpty()) return;
        constexpr int kImage = 32;
        widgets::startFileDrag({this, mime->urls(),
                                icons::ownPixmap(QStringLiteral("waveform"), kImage, style::label(palette()),
                                                 devicePixelRatioF()),
                                QPoint(kImage / 2, kImage / 2)});
    }
};

std::vector<fs::path> urlsOfRows(const BrowserTableModel& model, const QModelIndexList& rows) {
    std::vector<int> numbers;
    for (const QModelIndex& index : rows) numbers.push_back(index.row());
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<fs::path> urls;
    for (int row : numbers)
        if (const BrowserEntry* e = model.entry(row)) urls.push_back(e->url);
    return urls;
}

// What a column asks of the table's width: its least, the width of what it
// shows, and the width the user gave it, if any.
struct ColumnNeed {
    int least = 0;
    int content = 0;
    std::optional<int> fixed;
};
using Needs = std::array<ColumnNeed, BrowserTableModel::columnCount_>;
using Widths = std::array<int, BrowserTableModel::columnCount_>;

// The columns' widths in a table `available` wide.
Widths shareColumns(const Needs& needs, int available) {
    using M = BrowserTableModel;
    Widths w{};
    for (int c = 0; c < M::columnCount_; ++c) w[c] = needs[c].fixed.value_or(std::max(needs[c].least, needs[c].content));
    // The name its longest name, up to half the table, before anything else.
    const ColumnNeed& name = needs[M::name];
    if (!name.fixed) w[M::name] = std::max(name.least, std::min(name.content, available / 2));
    int total = 0;
    for (int width : w) total += width;
    auto give = [&](int c, int most) {
        if (needs[c].fixed) return;
        const int more = std::max(0, std::min(available - total, most - w[c]));
        w[c] += more;
        total += more;
    };
    // Room to spare: the name its whole longest name, the description its
    // longest text, then the rest to the description (or the name).
    give(M::name, name.content);
    give(M::description, needs[M::description].content);
    give(needs[M::description].fixed ? M::name : M::description, INT_MAX);
    // Too little: the description gives way first, then library and
    // category, length and format, and only then the name; a group's
    // columns evenly, each down to its least.
    const std::vector<std::vector<int>> order = {
        {M::description}, {M::library, M::category}, {M::format, M::length}, {M::name}};
    for (const auto& group : order) {
        for (bool cut = true; cut && total > available;) {
            cut = false;
            for (int c : group) {
                if (total <= available || needs[c].fixed || w[c] <= needs[c].least) continue;
                --w[c];
                --total;
                cut = true;
            }
        }
    }
    return w;
}

}  // namespace

BrowserView::BrowserView(LibraryModel& library, PlayerModel& player, SettingsStore& settings,
                         FileSelection& selection, AppActions& actions, FileReveal& reveal, QWidget* parent)
    : QWidget(parent),
      library_(library),
      player_(player),
      settings_(settings),
      selection_(selection),
      actions_(actions),
      reveal_(reveal) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // --- Header ---
    auto* header = named(new QWidget(this), "header");
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(8);
    up_ = named(widgets::symbolButton(QStringLiteral("chevron.up"), QStringLiteral("Enclosing folder"),
                                      widgets::ControlSize::regular, header),
                "up");
    connect(up_, &QToolButton::clicked, this, [this] { library_.goUp(); });
    row->addWidget(up_);

    const QColor secondary = style::secondaryLabel(palette());
    count_ = named(new QLabel(header), "resultCount");
    style::setTextStyle(count_, style::TextStyle::callout);
    style::setTextColour(count_, secondary);
    row->addWidget(count_);
    chips_ = named(new QWidget(header), "chips");
    chipsLayout_ = new QHBoxLayout(chips_);
    chipsLayout_->setContentsMargins(0, 0, 0, 0);
    chipsLayout_->setSpacing(8);
    row->addWidget(chips_);
    path_ = named(new widgets::ElidedLabel(Qt::ElideLeft, header), "folderPath");
    style::setTextStyle(path_, style::TextStyle::callout);
    style::setTextColour(path_, secondary);
    path_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(path_, 1);
    row->addStretch(0);

    search_ = named(new QLineEdit(header), "search");
    search_->setPlaceholderText(QString::fromUtf8(kSearchPrompt));
    search_->setMaximumWidth(kSearchMaxWidth);
    search_->setMinimumWidth(0);
    search_->setText(library_.query());
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (text != library_.query()) library_.setQuery(text);
    });
    // A query longer than the search takes: a mark at the field's end, and
    // the note on the mark and the field.
    searchNote_ = search_->addAction(icons::symbol(QStringLiteral("exclamationmark.triangle.fill"), secondary),
                                     QLineEdit::TrailingPosition);
    searchNote_->setObjectName(QStringLiteral("searchNote"));
    row->addWidget(search_, 1);
    column->addWidget(header);
    // The library's message under the header, whole and readable: it names
    // the files that failed and why.
    message_ = named(new widgets::MessageLine(this), "libraryMessage");
    message_->setContentsMargins(12, 0, 12, 6);
    column->addWidget(message_);

    // --- Table ---
    model_ = new BrowserTableModel(this);
    table_ = named(new FileTable(this), "fileTable");
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSortingEnabled(false);
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideRight);
    table_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    table_->setDragEnabled(true);
    table_->setDragDropMode(QAbstractItemView::DragOnly);
    table_->setDefaultDropAction(Qt::CopyAction);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    table_->setIconSize(QSize(14, 14));
    // Fixed row heights: nothing ever measures every row.
    QHeaderView* rows = table_->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(kRowHeight);
    rows->setDefaultSectionSize(kRowHeight);
    QHeaderView* columns = table_->horizontalHeader();
    // The view shares the width out itself (fitColumns); the user may drag
    // any column's edge.
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(false);
    columns->setHighlightSections(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setMinimumSectionSize(BrowserTableModel::column(BrowserTableModel::length).minWidth);
    for (int c = 0; c < BrowserTableModel::columnCount_; ++c) table_->setColumnWidth(c, BrowserTableModel::column(c).idealWidth);
    connect(columns, &QHeaderView::sectionResized, this, [this](int c, int, int width) {
        if (fitting_) return;
        const int least = BrowserTableModel::column(c).minWidth;
        if (width < least) {
            table_->setColumnWidth(c, least);
            return;
        }
        userWidths_[c] = width;
    });
    // New rows, another order, facts read: the widths follow what is shown,
    // once the event loop is back (answers come in bursts).
    fitLater_.setSingleShot(true);
    connect(&fitLater_, &QTimer::timeout, this, &BrowserView::fitColumns);
    const auto fitSoon = [this] { fitLater_.start(); };
    connect(model_, &QAbstractItemModel::modelReset, this, fitSoon);
    connect(model_, &QAbstractItemModel::layoutChanged, this, fitSoon);
    connect(model_, &QAbstractItemModel::dataChanged, this, fitSoon);
    // A click on a column's title sorts by it, again the other way, a third
    // time back to the list's own order (the search's ranking).
    columns->setSectionsClickable(true);
    columns->setSortIndicatorShown(true);
    columns->setSortIndicatorClearable(true);
    columns->setSortIndicator(-1, Qt::AscendingOrder);
    connect(columns, &QHeaderView::sortIndicatorChanged, this, [this](int column, Qt::SortOrder order) {
        marking_ = true;
        model_->sort(column, order);
        marking_ = false;
        markSelection();
    });
    column->addWidget(table_, 1);

    table_->installEventFilter(this);
    table_->viewport()->installEventFilter(this);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &BrowserView::tableSelectionChanged);
    connect(table_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        const auto set = actedOn(index.row());
        if (!set.empty()) activate(set.front());
    });
    connect(table_, &QTableView::customContextMenuRequested, this, &BrowserView::showMenu);
    connect(table_->verticalScrollBar(), &QScrollBar::valueChanged, this, &BrowserView::updateVisibleRows);
    connect(model_, &QAbstractItemModel::modelReset, this, &BrowserView::updateVisibleRows);
    connect(model_, &QAbstractItemModel::layoutChanged, this, &BrowserView::updateVisibleRows);

    // --- Models ---
    connect(&library_, &LibraryModel::entriesChanged, this, &BrowserView::refreshList);
    connect(&library_, &LibraryModel::resultsChanged, this, &BrowserView::refreshList);
    for (auto signal : {&LibraryModel::queryChanged, &LibraryModel::categoryChanged,
                        &LibraryModel::libraryFilterChanged}) {
        connect(&library_, signal, this, [this] {
            refreshList();
            refreshHeader();
        });
    }
    connect(&library_, &LibraryModel::queryChanged, this, [this] {
        if (search_->text() != library_.query()) search_->setText(library_.query());
    });
    connect(&library_, &LibraryModel::categoryChanged, this, &BrowserView::rebuildChips);
    connect(&library_, &LibraryModel::libraryFilterChanged, this, &BrowserView::rebuildChips);
    connect(&library_, &LibraryModel::folderChanged, this, [this] {
        selection_.clear();
        refreshHeader();
    });
    connect(&library_, &LibraryModel::messageChanged, this, &BrowserView::refreshHeader);
    connect(&library_, &LibraryModel::searchNoteChanged, this, &BrowserView::refreshHeader);
    connect(&library_, &LibraryModel::resultsChanged, this, &BrowserView::refreshHeader);
    connect(&selection_, &FileSelection::changed, this, &BrowserView::selectionChanged);
    connect(&player_, &PlayerModel::loadFinished, this, &BrowserView::loadFinished);

    refreshList();
    rebuildChips();
    refreshHeader();
}

BrowserView::~BrowserView() = default;

QString BrowserView::categoryText(const BrowserEntry& entry) {
    if (!entry.row) return {};
    const std::string& category = entry.row->meta().category;
    const std::string& sub = entry.row->meta().subCategory;
    if (category.empty()) return QString::fromStdString(sub);
    if (sub.empty()) return QString::fromStdString(category);
    return QString::fromStdString(category + " \u00b7 " + sub);
}

QString BrowserView::resultsText(qint64 count, const QLocale& locale) {
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    return grouped.toString(count) + QStringLiteral(" results");
}

QString BrowserView::tempEditsTitle(size_t count) {
    if (count < 2) return QStringLiteral("Make Temp Edits");
    return QStringLiteral("Make Temp Edits (%1 files)").arg(static_cast<qulonglong>(count));
}

// --- Lists and header ---

void BrowserView::refreshList() {
    const BrowserList& shown = library_.isSearching() ? library_.results() : library_.entries();
    if (shown.sameList(model_->list())) return;
    marking_ = true;
    model_->setList(shown);
    marking_ = false;
    markSelection();
}

void BrowserView::markSelection() {
    QItemSelectionModel* sel = table_->selectionModel();
    QItemSelection marked;
    int first = -1;
    if (!selection_.empty()) {
        std::unordered_set<std::string> wanted;
        for (const fs::path& url : selection_.urls()) wanted.insert(url.native());
        const BrowserList& list = model_->list();
        const int last = BrowserTableModel::columnCount_ - 1;
        for (size_t i = 0; i < list.size(); ++i) {
            if (!wanted.count(list[i].url.native())) continue;
            const int r = model_->rowOf(i);
            marked.select(model_->index(r, 0), model_->index(r, last));
            if (first < 0 || r < first) first = r;
        }
    }
    marking_ = true;
    sel->select(marked, QItemSelectionModel::ClearAndSelect);
    if (first >= 0) sel->setCurrentIndex(model_->index(first, 0), QItemSelectionModel::NoUpdate);
    marking_ = false;
}

void BrowserView::refreshHeader() {
    const bool searching = library_.isSearching();
    up_->setEnabled(!searching);
    count_->setVisible(searching);
    chips_->setVisible(searching && chipsLayout_->count() > 0);
    path_->setVisible(!searching);
    if (searching) count_->setText(resultsText(static_cast<qint64>(library_.results().size()), QLocale()));
    path_->setText(library_.folder() ? QString::fromStdString(library_.folder()->string()) : QString());
    message_->setMessage(library_.message());
    const QString note = library_.searchNote().value_or(QString());
    searchNote_->setVisible(!note.isEmpty());
    searchNote_->setToolTip(note);
    search_->setToolTip(note);
}

void BrowserView::rebuildChips() {
    while (QLayoutItem* item = chipsLayout_->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->setParent(nullptr);
            w->deleteLater();
        }
        delete item;
    }
    if (const auto& category = library_.category()) {
        QWidget* chip = filterChip(*category, [this] { library_.setCategory(std::nullopt); });
        chip->setObjectName(QStringLiteral("categoryChip"));
        chipsLayout_->addWidget(chip);
    }
    if (const auto& name = library_.libraryFilter()) {
        QWidget* chip = filterChip(*name, [this] { library_.setLibraryFilter(std::nullopt); });
        chip->setObjectName(QStringLiteral("libraryChip"));
        chipsLayout_->addWidget(chip);
    }
    refreshHeader();
}

QWidget* BrowserView::filterChip(const QString& title, std::function<void()> clear) {
    auto* chip = new FilterChipButton(title, chips_);
    // The chip goes away while its own click is handled: run the action
    // once the event loop is back.
    connect(chip, &QAbstractButton::clicked, this, [this, clear = std::move(clear)] {
        QMetaObject::invokeMethod(this, clear, Qt::QueuedConnection);
    });
    return chip;
}

// --- Selection ---

void BrowserView::tableSelectionChanged() {
    if (marking_) return;
    selection_.set(urlsOfRows(*model_, table_->selectionModel()->selectedRows()));
}

void BrowserView::selectionChanged() {
    // Marks rows when the change came from elsewhere (the window, a test).
    const auto shown = urlsOfRows(*model_, table_->selectionModel()->selectedRows());
    bool same = shown.size() == selection_.urls().size();
    for (const fs::path& url : shown) same = same && selection_.contains(url);
    if (!same) markSelection();

    const auto& urls = selection_.urls();
    if (urls.size() == 1 && AudioFileInfo::isAudioFile(urls.front()) && !model_->isOffline(urls.front()))
        player_.load(urls.front(), settings_.value().autoPlay);
}

std::vector<fs::path> BrowserView::actedOn(int row) const {
    const BrowserEntry* e = model_->entry(row);
    if (!e) return {};
    if (selection_.contains(e->url)) return selection_.urls();
    return {e->url};
}

void BrowserView::fitColumns() {
    fitLater_.stop();
    const int available = table_->viewport()->width();
    if (!table_->isVisible() || available <= 0) return;
    // What the rows on screen show, each column at its widest (a cell's
    // facts not read yet are asked for, as painting them would).
    const QHeaderView* header = table_->horizontalHeader();
    const auto [first, last] = visibleRows();
    Needs needs;
    for (int c = 0; c < BrowserTableModel::columnCount_; ++c) {
        ColumnNeed& n = needs[c];
        // Never narrower than its title.
        n.content = header->sectionSizeHint(c);
        n.least = std::max(BrowserTableModel::column(c).minWidth, n.content);
        for (int r = first; r <= last; ++r)
            n.content = std::max(n.content, table_->sizeHintForIndex(model_->index(r, c)).width());
        n.fixed = userWidths_[c];
    }
    const Widths widths = shareColumns(needs, available);
    fitting_ = true;
    for (int c = 0; c < BrowserTableModel::columnCount_; ++c)
        if (header->sectionSize(c) != widths[c]) table_->setColumnWidth(c, widths[c]);
    fitting_ = false;
}

std::pair<int, int> BrowserView::visibleRows() const {
    int first = table_->rowAt(0);
    int last = table_->rowAt(std::max(0, table_->viewport()->height() - 1));
    if (first < 0) first = 0;
    if (last < 0) last = model_->rowCount() - 1;
    return {first, last};
}

void BrowserView::updateVisibleRows() {
    const auto [first, last] = visibleRows();
    model_->setVisibleRows(first, last);
}

// --- Activation ---

void BrowserView::activate(fs::path url) {
    if (AudioFileInfo::isAudioFile(url)) {
        // An offline file is not there to be played.
        if (model_->isOffline(url)) return;
        const uint64_t before = player_.loadGen();
        player_.load(url, false);
        // The shown file, not loaded again: it plays now. Else it plays once
        // the player publishes it, unless another file or a failure comes
        // first.
        if (player_.loadGen() == before && !player_.isLoading() && player_.info() && player_.info()->url == url) {
            pendingPlay_.reset();
            player_.play(0);
        } else {
            pendingPlay_ = PendingPlay{url, player_.loadGen()};
        }
        return;
    }
    pendingPlay_.reset();
    library_.setQuery(QString());
    library_.open(url);
}

void BrowserView::loadFinished() {
    if (!pendingPlay_) return;
    const PendingPlay pending = *pendingPlay_;
    pendingPlay_.reset();
    if (player_.loadGen() != pending.loadGen) return;
    if (player_.info() && player_.info()->url == pending.url) player_.play(0);
}

// --- Keys and menu ---

bool BrowserView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == table_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const auto mods = key->modifiers() & ~Qt::KeypadModifier;
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && mods == Qt::NoModifier) {
            if (!selection_.empty()) activate(selection_.urls().front());
            return true;
        }
        if (key->key() == Qt::Key_Space && mods == Qt::NoModifier) {
            player_.togglePlay();
            return true;
        }
    }
    // Shown: the rows it shows can be measured now.
    if (watched == table_ && event->type() == QEvent::Show) fitLater_.start();
    if (watched == table_->viewport() && event->type() == QEvent::Resize) {
        updateVisibleRows();
        // The window resized: the widths the user gave are the view's again.
        if (window()->size() != windowSize_) {
            windowSize_ = window()->size();
            userWidths_.fill(std::nullopt);
        }
        if (static_cast<QResizeEvent*>(event)->size().width() != static_cast<QResizeEvent*>(event)->oldSize().width())
            fitColumns();
    }
    return QWidget::eventFilter(watched, event);
}

void BrowserView::showMenu(const QPoint& pos) {
    const QModelIndex index = table_->indexAt(pos);
    const auto set = index.isValid() ? actedOn(index.row()) : std::vector<fs::path>{};
    if (menu_) menu_->deleteLater();
    menu_ = contextMenu(set, this);
    menu_->setAttribute(Qt::WA_DeleteOnClose);
    menu_->popup(table_->viewport()->mapToGlobal(pos));
}

QMenu* BrowserView::contextMenu(const std::vector<fs::path>& urls, QWidget* parent) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("fileMenu"));
    QAction* editor = menu->addAction(QStringLiteral("Open in Editor"));
    editor->setObjectName(QStringLiteral("openInEditor"));
    editor->setEnabled(urls.size() == 1);
    connect(editor, &QAction::triggered, this, [this, urls] {
        if (urls.size() == 1) actions_.openEditor(urls.front());
    });
    QAction* temp = menu->addAction(tempEditsTitle(urls.size()));
    temp->setObjectName(QStringLiteral("makeTempEdits"));
    connect(temp, &QAction::triggered, this, [this, urls] { actions_.makeTempEdits(urls); });
    menu->addSeparator();
    QAction* revealItem = menu->addAction(QStringLiteral("Show in File Manager"));
    revealItem->setObjectName(QStringLiteral("reveal"));
    connect(revealItem, &QAction::triggered, this, [this, urls] { reveal_.reveal(urls); });
    QAction* copy = menu->addAction(QStringLiteral("Copy Path"));
    copy->setObjectName(QStringLiteral("copyPath"));
    connect(copy, &QAction::triggered, this, [this, urls] { copyPaths(urls); });
    return menu;
}

void BrowserView::copyPaths(const std::vector<fs::path>& urls) {
    // Nothing to copy leaves the user's clipboard as it was.
    if (urls.empty()) return;
    QString text;
    for (size_t i = 0; i < urls.size(); ++i) {
        if (i) text += QLatin1Char('\n');
        text += QString::fromStdString(urls[i].string());
    }
    QGuiApplication::clipboard()->setText(text);
}

}  // namespace qm
