// The content of the library window ("main"), made in one place so the
// window around it does not depend on how the library's views are put
// together.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace qm {

class AppModel;

namespace mainWindow {

// `openWindow` opens a window of the application by its identifier.
std::unique_ptr<QWidget> makeContent(AppModel& app, std::function<void(const QString&)> openWindow);

}  // namespace mainWindow
}  // namespace qm
