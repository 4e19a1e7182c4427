// The settings window's content: three tabs, Outputs, Audition and Library,
// in a fixed 680 x 560 frame. There is no Apply: every control writes the
// settings store (or calls the library model) at once.
//
// The application's window takes everything from the composition root: its
// settings store (which the root watches, so a switch takes effect as soon
// as it is stored), its library model, its workspace (for "Show" of the
// pulls folder) and its "Add to Library" action with the folder chooser the
// root was given, and whether the session is Wayland's (the Audition tab
// then says that the file manager cannot be followed). The second
// constructor takes the same pieces one by one.
// Main thread only.
#pragma once

#include <QTabWidget>

#include <functional>

#include "ui/settings/OutputsSettings.h"

namespace qm {

class AppModel;
class AuditionSettings;
class FileReveal;
class LibraryModel;
class LibrarySettings;
class SettingsStore;

class SettingsView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 680;
    static constexpr int kHeight = 560;

    explicit SettingsView(AppModel& app, OutputsSettings::DeviceSource devices = AudioDevices::allOutputs,
                          QWidget* parent = nullptr);
    SettingsView(SettingsStore& settings, LibraryModel& library, FileReveal& workspace,
                 std::function<void()> addLibraryFolder,
                 OutputsSettings::DeviceSource devices = AudioDevices::allOutputs, QWidget* parent = nullptr);

    QTabWidget& tabs() { return *tabs_; }
    OutputsSettings& outputs() { return *outputs_; }
    AuditionSettings& audition() { return *audition_; }
    LibrarySettings& library() { return *library_; }

private:
    QTabWidget* tabs_;
    OutputsSettings* outputs_;
    AuditionSettings* audition_;
    LibrarySettings* library_;
};

}  // namespace qm
