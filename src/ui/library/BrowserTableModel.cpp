#include "ui/library/BrowserTableModel.h"

#include <QApplication>
#include <QCollator>
#include <QLocale>
#include <QMimeData>
#include <QPalette>
#include <QUrl>

#include <algorithm>
#include <set>

#include "app/core/Handoff.h"
#include "library/InfoCache.h"
#include "ui/library/BrowserView.h"
#include "ui/library/InfoText.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

namespace {

const BrowserTableModel::ColumnSpec kColumns[] = {
    {"Name", 180, 300},  {"Description", 120, 280}, {"Category", 70, 130},
    {"Library", 60, 120}, {"Length", 60, 70},        {"Format", 80, 140},
};

}  // namespace

const BrowserTableModel::ColumnSpec& BrowserTableModel::column(int c) { return kColumns[c]; }

BrowserTableModel::BrowserTableModel(QObject* parent)
    : QAbstractTableModel(parent), cache_(&InfoCache::shared()), resortTimer_(new QTimer(this)) {
    worker_.setMaxThreadCount(1);
    worker_.setExpiryTimeout(-1);
    resortTimer_->setSingleShot(true);
    resortTimer_->setInterval(kResortMs);
    connect(resortTimer_, &QTimer::timeout, this, &BrowserTableModel::resort);
}

BrowserTableModel::~BrowserTableModel() {
    ++shared_->listing;
    worker_.clear();
    worker_.waitForDone();
}

void BrowserTableModel::setList(BrowserList list) {
    beginResetModel();
    list_ = std::move(list);
    offline_.clear();
    for (const BrowserEntry& e : list_)
        if (e.offline) offline_.insert(e.url);
    ++shared_->listing;
    worker_.clear();
    reads_.assign(list_.size(), Read::none);
    answers_.clear();
    resortTimer_->stop();
    arrange();
    endResetModel();
    requestAll();
}

void BrowserTableModel::sort(int column, Qt::SortOrder order) {
    if (column < -1 || column >= columnCount_) column = -1;
    if (column == sortColumn_ && order == sortOrder_) return;
    beginResetModel();
    sortColumn_ = column;
    sortOrder_ = order;
    // Requests asked under the old rows would land on other rows.
    ++shared_->listing;
    worker_.clear();
    for (Read& r : reads_)
        if (r == Read::asked) r = Read::none;
    resortTimer_->stop();
    arrange();
    endResetModel();
    requestAll();
}

void BrowserTableModel::requestAll() {
    if (!sortedByFacts()) return;
    for (size_t i = 0; i < list_.size(); ++i)
        if (reads_[i] == Read::none && InfoText::needsRead(list_[i])) request(rowOf(i), true);
}

void BrowserTableModel::resort() {
    if (!sortedByFacts()) return;
    // The rows the view holds on to (the selection, the current row) are
    // carried to where their entries land.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<size_t> entries;
    entries.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& i : before) entries.push_back(at(i.row()));
    arrange();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype k = 0; k < before.size(); ++k)
        after.push_back(index(rowOf(entries[static_cast<size_t>(k)]), before[k].column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void BrowserTableModel::arrange() {
    order_.clear();
    rows_.clear();
    if (sortColumn_ < 0 || list_.empty()) return;
    const size_t n = list_.size();
    order_.resize(n);
    for (size_t i = 0; i < n; ++i) order_[i] = static_cast<uint32_t>(i);

    auto duration = [this](size_t i) {
        const BrowserEntry& e = list_[i];
        if (e.row && e.row->sampleRate > 0) return e.row->duration;
        if (const auto it = answers_.find(i); it != answers_.end() && it->second && it->second->sampleRate > 0)
            return static_cast<double>(it->second->frames) / it->second->sampleRate;
        return -1.0;
    };
    // Texts compare by collation keys made once per entry.
    std::vector<QCollatorSortKey> keys;
    std::vector<double> numbers(n, 0), second(n, 0);
    const bool byText = sortColumn_ != length && sortColumn_ != format;
    if (byText || sortColumn_ == format) {
        QLocale locale;
        // The C locale has no collation: English stands in for it.
        if (locale.language() == QLocale::C) locale = QLocale(QLocale::English);
        QCollator collator(locale);
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        collator.setNumericMode(true);
        keys.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            // The format as shown, without asking for facts not read yet.
            const auto known = answers_.find(i);
            keys.push_back(collator.sortKey(
                sortColumn_ == format
                    ? InfoText::text(list_[i], InfoText::Kind::format,
                                     known == answers_.end() ? std::nullopt : known->second)
                    : text(list_[i], i, sortColumn_)));
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (sortColumn_ == length) numbers[i] = duration(i);
        if (sortColumn_ == format) {
            if (list_[i].row) {
                numbers[i] = list_[i].row->sampleRate;
                second[i] = list_[i].row->channels;
            } else if (const auto it = answers_.find(i); it != answers_.end() && it->second) {
                numbers[i] = it->second->sampleRate;
                second[i] = it->second->channels;
            }
        }
    }
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    std::stable_sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
        // Folders first in either direction.
        if (list_[a].isFolder != list_[b].isFolder) return list_[a].isFolder;
        int c = 0;
        if (numbers[a] != numbers[b])
            c = numbers[a] < numbers[b] ? -1 : 1;
        else if (second[a] != second[b])
            c = second[a] < second[b] ? -1 : 1;
        else if (!keys.empty())
            c = keys[a].compare(keys[b]);
        return descending ? c > 0 : c < 0;
    });
    rows_.resize(n);
    for (size_t r = 0; r < n; ++r) rows_[order_[r]] = static_cast<uint32_t>(r);
}

int BrowserTableModel::rowOf(size_t index) const {
    if (index >= list_.size()) return -1;
    return rows_.empty() ? static_cast<int>(index) : static_cast<int>(rows_[index]);
}

const BrowserEntry* BrowserTableModel::entry(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= list_.size()) return nullptr;
    return &list_[at(row)];
}

void BrowserTableModel::setVisibleRows(int first, int last) {
    shared_->first = first;
    shared_->last = last;
}

void BrowserTableModel::waitForReads() { worker_.waitForDone(); }

int BrowserTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(list_.size());
}

int BrowserTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnCount_; }

QString BrowserTableModel::text(const BrowserEntry& e, size_t index, int col) const {
    switch (col) {
        case name:
            return QString::fromStdString(e.url.filename().string());
        case description:
            return e.row ? QString::fromStdString(e.row->meta().description) : QString();
        case category:
            return BrowserView::categoryText(e);
        case library:
            return e.row ? QString::fromStdString(e.row->meta().library) : QString();
        case length:
        case format: {
            const auto kind = col == length ? InfoText::Kind::duration : InfoText::Kind::format;
            if (!InfoText::needsRead(e)) return InfoText::text(e, kind, std::nullopt);
            if (reads_[index] == Read::none) request(rowOf(index));
            const auto it = answers_.find(index);
            return InfoText::text(e, kind, it == answers_.end() ? std::nullopt : it->second);
        }
        default:
            return {};
    }
}

QVariant BrowserTableModel::data(const QModelIndex& index, int role) const {
    const BrowserEntry* e = entry(index);
    if (!e || index.column() < 0 || index.column() >= columnCount_) return {};
    switch (role) {
        case Qt::DisplayRole:
            return text(*e, at(index.row()), index.column());
        case Qt::ToolTipRole:
            if (index.column() == name) return QString::fromStdString(e->url.string());
            if (index.column() == description && e->row) return QString::fromStdString(e->row->meta().description);
            return {};
        case Qt::DecorationRole:
            if (index.column() != name) return {};
            {
                const QPalette palette = QApplication::palette();
                const QColor dimmed = palette.color(QPalette::Disabled, QPalette::Text);
                if (e->isFolder)
                    return icons::symbol(QStringLiteral("folder.fill"), e->offline ? dimmed : style::accent(palette));
                return icons::symbol(QStringLiteral("waveform"), e->offline ? dimmed : style::secondaryLabel(palette));
            }
        case Qt::ForegroundRole:
            if (e->offline) return QApplication::palette().color(QPalette::Disabled, QPalette::Text);
            if (index.column() == name) return {};
            return style::secondaryLabel(QApplication::palette());
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::AlignVCenter | Qt::AlignLeft);
        default:
            return {};
    }
}

QVariant BrowserTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount_) return {};
    return QString::fromLatin1(kColumns[section].title);
}

Qt::ItemFlags BrowserTableModel::flags(const QModelIndex& index) const {
    const BrowserEntry* e = entry(index);
    if (!e) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (!e->isFolder && !e->offline) f |= Qt::ItemIsDragEnabled;
    return f;
}

QStringList BrowserTableModel::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

Qt::DropActions BrowserTableModel::supportedDragActions() const { return Qt::CopyAction; }

QMimeData* BrowserTableModel::mimeData(const QModelIndexList& indexes) const {
    std::set<int> rows;
    for (const QModelIndex& index : indexes) rows.insert(index.row());
    QList<QUrl> urls;
    for (int row : rows) {
        const BrowserEntry* e = entry(row);
        if (e && !e->isFolder && !e->offline) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(e->url.string())));
    }
    if (urls.isEmpty()) return nullptr;
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

void BrowserTableModel::request(int row, bool always) const {
    const size_t index = at(row);
    reads_[index] = Read::asked;
    ++requests_;
    const uint64_t listing = shared_->listing;
    auto shared = shared_;
    InfoCache* cache = cache_;
    auto* self = const_cast<BrowserTableModel*>(this);
    const std::filesystem::path url = list_[index].url;
    [[maybe_unused]] const handoff::Sending sending;
    worker_.start([self, shared, cache, listing, row, index, url, always] {
        handoff::received();
        if (shared->listing != listing) return;
        if (!always && (row < shared->first || row > shared->last)) {
            handoff::toThreadOf(self, [self, listing, index] { self->answer(listing, index, std::nullopt, true); });
            return;
        }
        std::optional<AudioFileInfo> info = cache->info(url);
        handoff::toThreadOf(self, [self, listing, index, info = std::move(info)]() mutable {
            self->answer(listing, index, std::move(info), false);
        });
    });
}

void BrowserTableModel::answer(uint64_t listing, size_t index, std::optional<AudioFileInfo> info, bool dropped) {
    if (listing != shared_->listing || index >= reads_.size()) return;
    if (dropped) {
        // Asked again when the row is painted again.
        reads_[index] = Read::none;
        ++dropped_;
        return;
    }
    reads_[index] = Read::answered;
    answers_[index] = std::move(info);
    const int row = rowOf(index);
    emit dataChanged(this->index(row, length), this->index(row, format), {Qt::DisplayRole});
    // The row sorted as unknown so far.
    if (sortedByFacts() && !resortTimer_->isActive()) resortTimer_->start();
}

}  // namespace qm
