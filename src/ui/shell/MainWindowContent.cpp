#include "ui/shell/MainWindowContent.h"

#include <QWidget>

#include "app/shell/AppModel.h"
#include "ui/library/InspectorView.h"
#include "ui/library/MainView.h"
#include "ui/library/SidebarView.h"

namespace qm::mainWindow {

std::unique_ptr<QWidget> makeContent(AppModel& app, Hooks hooks) {
    return std::make_unique<MainView>(app.library(), app.player(), app.settings(), app, app.workspace(),
                                      &app.editor(), std::move(hooks.openWindow));
}

}  // namespace qm::mainWindow
