#include "ui/library/BrowserTableModel.h"

#include <QApplication>
#include <QMimeData>
#include <QPalette>
#include <QUrl>

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

BrowserTableModel::BrowserTableModel(QObject* parent) : QAbstractTableModel(parent), cache_(&InfoCache::shared()) {
    worker_.setMaxThreadCount(1);
    worker_.setExpiryTimeout(-1);
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
    endResetModel();
}

const BrowserEntry* BrowserTableModel::entry(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= list_.size()) return nullptr;
    return &list_[static_cast<size_t>(row)];
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

QString BrowserTableModel::text(const BrowserEntry& e, int row, int col) const {
    switch (col) {
        case name:
            return QString::fromStdString(e.url.filename().string());
        case description:
            return e.row ? QString::fromStdString(e.row->meta.description) : QString();
        case category:
            return BrowserView::categoryText(e);
        case library:
            return e.row ? QString::fromStdString(e.row->meta.library) : QString();
        case length:
        case format: {
            const auto kind = col == length ? InfoText::Kind::duration : InfoText::Kind::format;
            if (!InfoText::needsRead(e)) return InfoText::text(e, kind, std::nullopt);
            if (reads_[static_cast<size_t>(row)] == Read::none) request(row);
            const auto it = answers_.find(row);
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
            return text(*e, index.row(), index.column());
        case Qt::ToolTipRole:
            if (index.column() == name) return QString::fromStdString(e->url.string());
            if (index.column() == description && e->row) return QString::fromStdString(e->row->meta.description);
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

void BrowserTableModel::request(int row) const {
    reads_[static_cast<size_t>(row)] = Read::asked;
    ++requests_;
    const uint64_t listing = shared_->listing;
    auto shared = shared_;
    InfoCache* cache = cache_;
    auto* self = const_cast<BrowserTableModel*>(this);
    const std::filesystem::path url = list_[static_cast<size_t>(row)].url;
    [[maybe_unused]] const handoff::Sending sending;
    worker_.start([self, shared, cache, listing, row, url] {
        handoff::received();
        if (shared->listing != listing) return;
        if (row < shared->first || row > shared->last) {
            handoff::toThreadOf(self, [self, listing, row] { self->answer(listing, row, std::nullopt, true); });
            return;
        }
        std::optional<AudioFileInfo> info = cache->info(url);
        handoff::toThreadOf(self, [self, listing, row, info = std::move(info)]() mutable {
            self->answer(listing, row, std::move(info), false);
        });
    });
}

void BrowserTableModel::answer(uint64_t listing, int row, std::optional<AudioFileInfo> info, bool dropped) {
    if (listing != shared_->listing || row < 0 || static_cast<size_t>(row) >= reads_.size()) return;
    if (dropped) {
        // Asked again when the row is painted again.
        reads_[static_cast<size_t>(row)] = Read::none;
        ++dropped_;
        return;
    }
    reads_[static_cast<size_t>(row)] = Read::answered;
    answers_[row] = std::move(info);
    emit dataChanged(index(row, length), index(row, format), {Qt::DisplayRole});
}

}  // namespace qm
