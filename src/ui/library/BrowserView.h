// The library window's middle column: a header (the up button, the folder's
// path or the search's hit count and filter chips, the search field), the
// library's message on a line of its own, over a table of the listed folder
// or of the search hits. The columns share the table's width by what the
// rows on screen show: the name first (its longest name, up to half the
// table), then each column its widest text; with too little, the
// description gives way first, then library and category, length and
// format, and only then the name. A column the user sizes keeps its width
// until the window is resized. A click on any column's title sorts by it
// (then the other way, then back to the list's own order, the search's
// ranking).
//
// Gestures become calls on the models: selecting one audio file auditions
// it; Return (or a double click) activates — a file with an audio
// extension plays from its first frame, anything else is opened as a folder
// with the search text cleared; Space starts and stops the player; the
// context menu opens a file in the editor, makes temp edits, reveals the
// files in the file manager or copies their paths; file rows drag out as
// files. Offline files (kept by the catalog while they cannot be seen) are
// shown dimmed and are neither auditioned nor played.
//
// The selection is the window's FileSelection: the view writes the user's
// selection into it and marks the rows from it whenever the list is
// refreshed (after a rescan, a pull or a save), which is no selection
// change. A change of the listed folder empties it.
//
// Main thread only.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "app/library/LibraryModel.h"
#include "ui/library/BrowserTableModel.h"

class QAction;
class QLabel;
class QLineEdit;
class QTableView;
class QToolButton;
class QHBoxLayout;

namespace qm {

class AppActions;
class FileReveal;
class FileSelection;
class PlayerModel;
class SettingsStore;

namespace widgets {
class ElidedLabel;
class MessageLine;
}

class BrowserView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kRowHeight = 22;
    static constexpr int kSearchMaxWidth = 340;
    static constexpr const char* kSearchPrompt = "Search sounds, descriptions, keywords  (-word excludes)";

    BrowserView(LibraryModel& library, PlayerModel& player, SettingsStore& settings, FileSelection& selection,
                AppActions& actions, FileReveal& reveal, QWidget* parent = nullptr);
    ~BrowserView() override;

    // The category column's text: the row's category and sub-category,
    // whichever are set, joined by " · "; empty without a row.
    static QString categoryText(const BrowserEntry& entry);
    // "1,234 results" in the locale's digit grouping.
    static QString resultsText(qint64 count, const QLocale& locale);
    // "Make Temp Edits", or "Make Temp Edits (N files)" for two or more.
    static QString tempEditsTitle(size_t count);

    // Plays an audio file from its first frame, or opens anything else as a
    // folder with the search text cleared. Takes its own copy: opening a
    // folder empties the selection the URL may come from.
    void activate(std::filesystem::path url);
    // The menu for the files it acts on (the popup's; tests build it too).
    QMenu* contextMenu(const std::vector<std::filesystem::path>& urls, QWidget* parent);
    // A capsule button showing `title` and a clear mark; pressing it runs
    // `clear`.
    QWidget* filterChip(const QString& title, std::function<void()> clear);

    QTableView* table() const { return table_; }
    BrowserTableModel* tableModel() const { return model_; }
    QLineEdit* searchField() const { return search_; }
    // The mark at the search field's end, shown with the library's search
    // note while a query is longer than a search takes.
    QAction* searchNoteMark() const { return searchNote_; }
    // The menu shown last, while it is open.
    QMenu* openMenu() const { return menu_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refreshList();
    void refreshHeader();
    void rebuildChips();
    void markSelection();
    void tableSelectionChanged();
    void selectionChanged();
    // The first and last rows on screen.
    std::pair<int, int> visibleRows() const;
    void updateVisibleRows();
    // Shares the table's width out among the columns.
    void fitColumns();
    void showMenu(const QPoint& pos);
    std::vector<std::filesystem::path> actedOn(int row) const;
    void copyPaths(const std::vector<std::filesystem::path>& urls);
    void loadFinished();

    LibraryModel& library_;
    PlayerModel& player_;
    SettingsStore& settings_;
    FileSelection& selection_;
    AppActions& actions_;
    FileReveal& reveal_;

    QToolButton* up_ = nullptr;
    QLabel* count_ = nullptr;
    QWidget* chips_ = nullptr;
    QHBoxLayout* chipsLayout_ = nullptr;
    widgets::ElidedLabel* path_ = nullptr;
    widgets::MessageLine* message_ = nullptr;
    QLineEdit* search_ = nullptr;
    QAction* searchNote_ = nullptr;
    QTableView* table_ = nullptr;
    BrowserTableModel* model_ = nullptr;
    QPointer<QMenu> menu_;
    // The widths the user gave columns since the window was last resized.
    std::array<std::optional<int>, BrowserTableModel::columnCount_> userWidths_;
    QSize windowSize_;
    bool fitting_ = false;
    QTimer fitLater_;
    // While the view itself marks rows, the table's selection changes are
    // not the user's.
    bool marking_ = false;
    // An activated file waiting for the player to publish it.
    struct PendingPlay {
        std::filesystem::path url;
        uint64_t loadGen = 0;
    };
    std::optional<PendingPlay> pendingPlay_;
};

}  // namespace qm
