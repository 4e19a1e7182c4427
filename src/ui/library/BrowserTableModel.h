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
// Drag: file rows only, as a list of file URLs (text/uri-list); offline
// files (kept by the catalog while they cannot be seen) are shown dimmed and
// cannot be dragged.
//
// Main thread, except the worker, which touches only the cache.
#pragma once

#include <QAbstractTableModel>
#include <QThreadPool>

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

    void request(int row) const;
    void answer(uint64_t listing, int row, std::optional<AudioFileInfo> info, bool dropped);
    QString text(const BrowserEntry& entry, int row, int col) const;

    BrowserList list_;
    std::set<std::filesystem::path> offline_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    mutable std::vector<Read> reads_;
    std::unordered_map<int, std::optional<AudioFileInfo>> answers_;
    InfoCache* cache_;
    mutable int requests_ = 0;
    int dropped_ = 0;
    mutable QThreadPool worker_;
};

}  // namespace qm
