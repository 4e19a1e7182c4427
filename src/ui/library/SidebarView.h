// The library window's left column: the library folders (roots) with their
// indexing state and "Add Folder…", the category and library facets of the
// catalog, and the places (home folders, the pulls folder, mounted
// volumes). A root or place row lists its folder with every search field
// cleared; a facet row toggles its filter. The column draws only what the
// library model and the settings publish, and is rebuilt whenever one of
// them announces a change.
//
// Main thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>

class QAbstractButton;
class QLabel;
class QMenu;
class QVBoxLayout;

namespace qm {

class AppActions;
class LibraryModel;
class SettingsStore;

class SidebarView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kFacetLimit = 12;
    static constexpr int kExpertFacetLimit = 60;
    static constexpr const char* kSections[] = {"Library", "Categories", "Libraries", "Places"};

    SidebarView(LibraryModel& library, SettingsStore& settings, AppActions& actions, QWidget* parent = nullptr);

    // The status line under the roots: "Indexing…", "1,234 files indexed"
    // (the locale's digit grouping) or empty.
    static QString statusText(bool indexing, qint64 indexedCount, const QLocale& locale);
    // The icon of a root row or of a place row.
    static QString rootIcon(const std::string& storedRoot);
    static QString placeIcon(const std::filesystem::path& url);

    // What is shown now, for tests and the window: the widgets are rebuilt
    // on every change, so these are looked up afresh each time.
    // Buttons carry the dynamic properties "kind" ("root", "place",
    // "category", "library", "add"), "value" (the path or facet value),
    // "symbol" (the icon's name) and "tinted" (drawn in the accent colour).
    QList<QAbstractButton*> buttons(const QString& kind) const;
    QAbstractButton* button(const QString& kind, const QString& value) const;
    QStringList sectionTitles() const;
    QString status() const;
    // The menu of a root row (its "Rescan" and "Remove from Library").
    QMenu* rootMenu(const std::string& root, QWidget* parent);

    // Rebuilds the column now (it happens on every change by itself).
    void rebuild();

private:
    QAbstractButton* row(const std::filesystem::path& url, const QString& icon, const QString& kind);
    QAbstractButton* facet(const QString& name, qint64 count, bool selected, const QString& kind,
                           std::function<void()> action);
    QLabel* sectionTitle(const QString& title);
    void listFolder(const std::filesystem::path& url);
    bool isListed(const std::filesystem::path& url) const;

    LibraryModel& library_;
    SettingsStore& settings_;
    AppActions& actions_;
    QVBoxLayout* outer_ = nullptr;
    QPointer<QWidget> content_;
    QVBoxLayout* layout_ = nullptr;
};

}  // namespace qm
