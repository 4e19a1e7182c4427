// The library window's content: the sidebar column beside the detail
// column, which holds the permission banners, the file list with the
// metadata inspector beside it, a divider and the audition player below.
// It owns the one view state the list and the inspector share, the set of
// selected files, and the inspector toggle of its toolbar; neither is kept
// past the view's life.
//
// The inspector exists only while the toggle is on and files are selected:
// hiding it ends its form (unsaved edits go), showing it again loads afresh.
// The player strip is 204 px high while the player's source is an
// Ambisonics stream, else 170 px.
//
// Main thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include "ui/player/PlayerView.h"

class QAction;
class QSplitter;
class QToolBar;

namespace qm {

class AppActions;
class BrowserView;
class EditorModel;
class FileReveal;
class FileSelection;
class InspectorView;
class LibraryModel;
class PermissionBanner;
class PlayerModel;
class SettingsStore;
class SidebarView;

class MainView : public QWidget {
    Q_OBJECT

public:
    // The least the window's content may be; more while the inspector shows.
    static constexpr int kMinimumWidth = 860;
    static constexpr int kMinimumHeight = 520;
    static constexpr int kSidebarMinimumWidth = 190;
    static constexpr int kSidebarIdealWidth = 230;
    static constexpr int kListMinimumWidth = 480;
    static constexpr int kStripPadding = 12;
    static constexpr int kAmbisonicStripHeight = 204;
    static constexpr int kStripHeight = 170;
    static constexpr const char* kInspectorHelp = "Metadata inspector";

    // `editor` and `openWindow` go to the player strip (its editor button).
    MainView(LibraryModel& library, PlayerModel& player, SettingsStore& settings, AppActions& actions,
             FileReveal& reveal, EditorModel* editor = nullptr, PlayerView::WindowOpener openWindow = {},
             QWidget* parent = nullptr);
    ~MainView() override;

    FileSelection& selection() const { return *selection_; }
    bool showInspector() const { return showInspector_; }
    void setShowInspector(bool on);

    // The strip's height for the player's present source.
    int stripHeight() const;

    SidebarView& sidebar() const { return *sidebar_; }
    BrowserView& browser() const { return *browser_; }
    PermissionBanner& banners() const { return *banners_; }
    PlayerView& playerView() const { return *playerView_; }
    // Null while the inspector is not shown.
    InspectorView* inspector() const { return inspector_; }
    QAction* inspectorToggle() const { return toggle_; }
    QToolBar* toolBar() const { return toolBar_; }
    QWidget* strip() const { return strip_; }

private:
    void updateInspector();
    void updateStrip();

    LibraryModel& library_;
    PlayerModel& player_;
    SettingsStore& settings_;
    FileSelection* selection_ = nullptr;
    bool showInspector_ = true;

    QToolBar* toolBar_ = nullptr;
    QAction* toggle_ = nullptr;
    SidebarView* sidebar_ = nullptr;
    PermissionBanner* banners_ = nullptr;
    QSplitter* listSplit_ = nullptr;
    BrowserView* browser_ = nullptr;
    QPointer<InspectorView> inspector_;
    QWidget* strip_ = nullptr;
    PlayerView* playerView_ = nullptr;
};

}  // namespace qm
