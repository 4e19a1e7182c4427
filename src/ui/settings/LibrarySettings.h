// The Library tab of the settings window: the library folders the catalog
// indexes for search, each with "Remove", then "Add Folder…", "Rescan
// All" and a status that reads "Indexing…" while any folder is being
// scanned, else the number of catalogued files in the user's locale.
//
// The tab does no work of its own: Remove and Rescan All call the library
// model, Add Folder… the application's folder-adding action (given as a
// function, so the tab needs nothing above the models). It redraws when
// the settings or the library model announce a change, so a removed folder
// leaves at once.
//
// Controls carry object names: "roots" (the rows' box), "root:<path>" and
// "remove:<path>" per row, "addFolder", "rescanAll", "libraryStatus".
// Main thread only.
#pragma once

#include <QLocale>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QVBoxLayout;

namespace qm {

class LibraryModel;
class SettingsStore;

class LibrarySettings : public QWidget {
    Q_OBJECT

public:
    LibrarySettings(SettingsStore& settings, LibraryModel& library, std::function<void()> addLibraryFolder,
                    QWidget* parent = nullptr);

    // "Indexing…", or the count with the locale's grouping and " files".
    static QString statusText(bool indexing, qint64 count, const QLocale& locale = QLocale());

public slots:
    void refresh();

private:
    void rebuildRows();

    SettingsStore& settings_;
    LibraryModel& library_;
    std::function<void()> addLibraryFolder_;
    std::vector<std::string> shownRoots_;
    std::vector<QWidget*> rows_;
    QWidget* rowsBox_;
    QVBoxLayout* rowsLayout_;
    QLabel* status_;
};

}  // namespace qm
