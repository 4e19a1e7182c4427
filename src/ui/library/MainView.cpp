#include "ui/library/MainView.h"

#include <QAction>
#include <QFrame>
#include <QSplitter>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/player/PlayerModel.h"
#include "ui/library/BrowserView.h"
#include "ui/library/FileSelection.h"
#include "ui/library/InspectorView.h"
#include "ui/library/PermissionBanner.h"
#include "ui/library/SidebarView.h"
#include "ui/widgets/ContentMinimum.h"
#include "ui/widgets/Icons.h"

namespace qm {

MainView::MainView(LibraryModel& library, PlayerModel& player, SettingsStore& settings, AppActions& actions,
                   FileReveal& reveal, EditorModel* editor, PlayerView::WindowOpener openWindow, QWidget* parent)
    : QWidget(parent), library_(library), player_(player), settings_(settings) {
    setObjectName(QStringLiteral("mainView"));
    // The inspector's column, when it comes, widens what the window needs.
    widgets::keepMinimumForContent(*this, QSize(kMinimumWidth, kMinimumHeight));
    selection_ = new FileSelection(this);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    toolBar_ = new QToolBar(this);
    toolBar_->setMovable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    auto* spacer = new QWidget(toolBar_);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolBar_->addWidget(spacer);
    toggle_ = toolBar_->addAction(icons::symbol(QStringLiteral("sidebar.trailing")), QString::fromUtf8(kInspectorHelp));
    toggle_->setCheckable(true);
    toggle_->setChecked(showInspector_);
    toggle_->setToolTip(QString::fromUtf8(kInspectorHelp));
    toggle_->setObjectName(QStringLiteral("inspectorToggle"));
    connect(toggle_, &QAction::toggled, this, &MainView::setShowInspector);
    outer->addWidget(toolBar_);

    auto* split = new QSplitter(Qt::Horizontal, this);
    split->setObjectName(QStringLiteral("sidebarSplit"));
    split->setChildrenCollapsible(false);
    outer->addWidget(split, 1);

    sidebar_ = new SidebarView(library_, settings_, actions, split);
    sidebar_->setMinimumWidth(kSidebarMinimumWidth);
    split->addWidget(sidebar_);

    auto* detail = new QWidget(split);
    auto* stack = new QVBoxLayout(detail);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    banners_ = new PermissionBanner(actions, detail);
    stack->addWidget(banners_);

    listSplit_ = new QSplitter(Qt::Horizontal, detail);
    listSplit_->setObjectName(QStringLiteral("inspectorSplit"));
    listSplit_->setChildrenCollapsible(false);
    browser_ = new BrowserView(library_, player_, settings_, *selection_, actions, reveal, listSplit_);
    browser_->setMinimumWidth(kListMinimumWidth);
    listSplit_->addWidget(browser_);
    listSplit_->setStretchFactor(0, 1);
    stack->addWidget(listSplit_, 1);

    auto* divider = new QFrame(detail);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setFixedHeight(1);
    stack->addWidget(divider);

    strip_ = new QWidget(detail);
    strip_->setObjectName(QStringLiteral("playerStrip"));
    auto* padded = new QVBoxLayout(strip_);
    padded->setContentsMargins(kStripPadding, kStripPadding, kStripPadding, kStripPadding);
    playerView_ = new PlayerView(WaveformView::Style::window, player_, settings_, editor, std::move(openWindow), strip_);
    padded->addWidget(playerView_);
    stack->addWidget(strip_);

    split->addWidget(detail);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({kSidebarIdealWidth, 10000});

    connect(selection_, &FileSelection::changed, this, &MainView::updateInspector);
    connect(&player_, &PlayerModel::infoChanged, this, &MainView::updateStrip);
    connect(&player_, &PlayerModel::formatOverrideChanged, this, &MainView::updateStrip);
    updateStrip();
    updateInspector();
}

MainView::~MainView() = default;

void MainView::setShowInspector(bool on) {
    if (on == showInspector_) return;
    showInspector_ = on;
    toggle_->setChecked(on);
    updateInspector();
}

int MainView::stripHeight() const {
    const std::optional<SourceFormat> source = player_.source();
    return source && source->isAmbisonic() ? kAmbisonicStripHeight : kStripHeight;
}

void MainView::updateStrip() { strip_->setFixedHeight(stripHeight()); }

void MainView::updateInspector() {
    const bool present = showInspector_ && !selection_->empty();
    if (!present) {
        if (inspector_) {
            inspector_->hide();
            inspector_->deleteLater();
            inspector_ = nullptr;
        }
        return;
    }
    if (inspector_) {
        inspector_->setUrls(selection_->urls());
        return;
    }
    inspector_ = new InspectorView(library_, settings_, selection_->urls(), listSplit_);
    listSplit_->addWidget(inspector_);
    listSplit_->setStretchFactor(1, 0);
    const int total = listSplit_->width();
    listSplit_->setSizes({std::max(kListMinimumWidth, total - InspectorView::kIdealWidth), InspectorView::kIdealWidth});
}

}  // namespace qm
