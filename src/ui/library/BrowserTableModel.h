// The file list's table: one row per entry of a BrowserList, held by
// reference (a new listing never copies the old one), six columns. data()
// never touches the disk or the catalog: texts come from the entry and its
// catalog row, and the Length and Format cells of a file without a row from
// facts read in the background.
//
// Background reads: when such a row is first painted, its facts are asked
// of an InfoCache on a one-thread worker, once per listing; the answer, a
// value or none, stays with the row and arrives by dataChanged. A request
// whose row has left the visible rows (setVisibleRows) before its turn is
// dropped unread, and asked again when the row is painted again.
//
// Sorting: by any column, ascending or descending (`sort`), or in the
// list's own order (column -1: folders first for a folder, the ranking for
// search hits), which is the default. Folders stay before files in every
// order; names and texts compare as the locale does, case aside and numbers
// by value; Length by the duration, Format by rate, channels, then text.
// The order holds for the next lists too, until it is changed. Rows are
// the sorted rows; what the cells read stays with its entry. Sorted by
// Length or Format, the facts of every row without a catalog row are asked
// for at once (not only of the rows painted, and never dropped), and the
// rows move to their places as the answers come (a layout change, at most
// one per kResortMs, that keeps the selection and the current row).
//
// Drag: file rows only, as a list of file URLs (text/uri-list); offline
// files (kept by the catalog while they cannot be seen) are shown dimmed and
// cannot be dragged.
//
// Main thread, except the worker, which touches only the cache.
#pragma once

#include <QAbstractTableModel>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "app/library/LibraryModel.h"
#include "audio/AudioFileInfo.h"

namespace qm {

class InfoCache;

class BrowserTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { name, description, category, library, length, format, columnCount_ };
    // Answers arriving within this time move the rows once.
    static constexpr int kResortMs = 100;
    struct ColumnSpec {
        const char* title;
        int minWidth;
        int idealWidth;
    };
    static const ColumnSpec& column(int c);

    explicit BrowserTableModel(QObject* parent = nullptr);
    ~BrowserTableModel() override;

    // Shows another list (a reset); the background answers of the old one
    // are dropped.
    void setList(BrowserList list);
    const BrowserList& list() const { return list_; }
    // Sorts the rows (a reset); column -1 is the list's own order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return sortColumn_; }
    Qt::SortOrder sortOrder() const { return sortOrder_; }
    // The row an entry of the list is shown in.
    int rowOf(size_t index) const;
    const BrowserEntry* entry(int row) const;
    const BrowserEntry* entry(const QModelIndex& index) const { return entry(index.row()); }
    // Whether the list shows `url` as an offline file or folder.
    bool isOffline(const std::filesystem::path& url) const { return offline_.contains(url); }

    // The rows on screen now; until first set, every row counts as visible.
    void setVisibleRows(int first, int last);
    // The cache the reads go through (InfoCache::shared() unless set).
    void setInfoCache(InfoCache* cache) { cache_ = cache; }
    // Requests handed to the worker, and those it dropped unread.
    int requests() const { return requests_; }
    int dropped() const { return dropped_; }
    // Waits until the worker has nothing left (tests and benchmarks).
    void waitForReads();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;

private:
    // What the worker reads: the listing a request belongs to and the rows
    // on screen.
    struct Shared {
        std::atomic<uint64_t> listing{0};
        std::atomic<int> first{0};
        std::atomic<int> last{INT32_MAX};
    };
    enum class Read : uint8_t { none, asked, answered };

    // The list index of a row.
    size_t at(int row) const { return order_.empty() ? static_cast<size_t>(row) : order_[static_cast<size_t>(row)]; }
    void arrange();
    // `always`: read even when the row is not on screen by then.
    void request(int row, bool always = false) const;
    void answer(uint64_t listing, size_t index, std::optional<AudioFileInfo> info, bool dropped);
    bool sortedByFacts() const { return sortColumn_ == length || sortColumn_ == format; }
    // Asks the facts of every row that needs them and has not asked yet.
    void requestAll();
    // Moves the rows to the order the facts known now give.
    void resort();
    QString text(const BrowserEntry& entry, size_t index, int col) const;

    BrowserList list_;
    // Row -> list index and back; empty in the list's own order.
    std::vector<uint32_t> order_;
    std::vector<uint32_t> rows_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    std::set<std::filesystem::path> offline_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    // By list index.
    mutable std::vector<Read> reads_;
    std::unordered_map<size_t, std::optional<AudioFileInfo>> answers_;
    InfoCache* cache_;
    mutable int requests_ = 0;
    int dropped_ = 0;
    mutable QThreadPool worker_;
    QTimer* resortTimer_;
};

}  // namespace qm
