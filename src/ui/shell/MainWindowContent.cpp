#include "ui/shell/MainWindowContent.h"

#include <QSplitter>
#include <QVBoxLayout>
#include <QWidget>

#include "app/shell/AppActions.h"
#include "app/shell/AppModel.h"
#include "ui/library/BrowserView.h"
#include "ui/library/FileSelection.h"
#include "ui/player/PlayerView.h"

namespace qm::mainWindow {

namespace {

// The file list's actions, answered by the root and the hooks.
class ContentActions final : public AppActions {
public:
    ContentActions(AppModel& app, Hooks hooks) : app_(&app), hooks_(std::move(hooks)) {}
    void openEditor(const std::filesystem::path& url) override {
        if (app_) app_->openEditor(url);
    }
    void makeTempEdits(const std::vector<std::filesystem::path>& urls) override {
        if (hooks_.makeTempEdits) hooks_.makeTempEdits(urls);
    }

private:
    QPointer<AppModel> app_;
    Hooks hooks_;
};

// Owns what the views in it refer to, and goes after them.
class Content final : public QWidget {
public:
    Content(AppModel& app, Hooks hooks) : actions_(app, hooks) {}
    ~Content() override {
        // The views first: they hold the selection and the actions.
        for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) delete child;
    }
    FileSelection selection;
    ContentActions actions_;
};

}  // namespace

std::unique_ptr<QWidget> makeContent(AppModel& app, Hooks hooks) {
    auto content = std::make_unique<Content>(app, hooks);
    auto* layout = new QVBoxLayout(content.get());
    layout->setContentsMargins(0, 0, 0, 0);
    auto* split = new QSplitter(Qt::Vertical);
    split->setChildrenCollapsible(false);
    split->addWidget(new BrowserView(app.library(), app.player(), app.settings(), content->selection,
                                     content->actions_, app.workspace()));
    split->addWidget(new PlayerView(WaveformView::Style::window, app.player(), app.settings(), &app.editor(),
                                    std::move(hooks.openWindow)));
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 0);
    layout->addWidget(split);
    return content;
}

}  // namespace qm::mainWindow
