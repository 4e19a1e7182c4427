// The content of the library window ("main"), made in one place so the
// window around it does not depend on how the library's views are put
// together.
#pragma once

#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace qm {

class AppModel;

namespace mainWindow {

struct Hooks {
    // Opens a window of the application by its identifier.
    std::function<void(const QString&)> openWindow;
};

std::unique_ptr<QWidget> makeContent(AppModel& app, Hooks hooks);

}  // namespace mainWindow
}  // namespace qm
