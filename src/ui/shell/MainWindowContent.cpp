#include "ui/shell/MainWindowContent.h"

#include <QVBoxLayout>
#include <QWidget>

#include "app/shell/AppModel.h"
#include "ui/player/PlayerView.h"

namespace qm::mainWindow {

std::unique_ptr<QWidget> makeContent(AppModel& app, std::function<void(const QString&)> openWindow) {
    auto content = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(content.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    layout->addWidget(new PlayerView(WaveformView::Style::window, app.player(), app.settings(), &app.editor(),
                                     std::move(openWindow)));
    return content;
}

}  // namespace qm::mainWindow
