// What the composition root offers the library window: open a file in the
// editor, make temp edits of several, add library folders, and the two
// permission flags with the actions that mend them (and the session kind,
// which decides whether they matter). AppModel implements it,
// tests pass a stand-in that records the calls. Main thread only.
//
// An implementation that is a QObject announces changes of the flags with
// the signals axTrustedChanged() and automationDeniedChanged() (AppModel's
// own); views connect to them by name.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "app/shell/FileManagers.h"

namespace qm {

class AppActions {
public:
    virtual ~AppActions() = default;

    // Opens the file in the editor, brings the editor window forward and
    // activates the application.
    virtual void openEditor(const std::filesystem::path& url) = 0;
    // Makes temp edits of the files, one after the other, in the background.
    virtual void makeTempEdits(const std::vector<std::filesystem::path>& urls) = 0;
    // Asks for folders and adds each as a library root; the browser then
    // shows the first one.
    virtual void addLibraryFolder() = 0;
    // The permission banner's two actions.
    virtual void requestAccessibility() = 0;
    virtual void openAutomationSettings() = 0;
    // The process may read other windows (the accessibility bus answers).
    virtual bool axTrusted() const = 0;
    // The file manager refused to tell its selection.
    virtual bool automationDenied() const = 0;
    // Which file manager that was, when known (announced with the flag).
    virtual std::optional<fileManagers::Kind> deniedFileManager() const { return std::nullopt; }
    // The session runs on Wayland, where the file manager cannot be
    // followed: nothing asks for what only serves following it.
    virtual bool waylandSession() const { return false; }
};

}  // namespace qm
