// The Outputs tab of the settings window: the list of output profiles with
// Add and Remove, and beside it the editor of the selected one (or "Select
// an output").
//
// The view keeps only what is its own: the selected profile id and the
// device list read when the tab was last shown. Each time the tab is shown
// it reads the devices again and, while nothing is selected, selects the
// active profile. Profiles themselves live in the settings store; Add and
// Remove write the list there.
//
// Controls carry object names: "profiles", "addProfile", "removeProfile",
// "detail", "placeholder", and the editor's own. Main thread only.
#pragma once

#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

#include "playback/AudioDevices.h"
#include "platform/Uuid.h"

class QLabel;
class QListWidget;
class QStackedWidget;
class QToolButton;

namespace qm {

class ProfileEditor;
class SettingsStore;

class OutputsSettings : public QWidget {
    Q_OBJECT

public:
    // Where the device list comes from; tests give lists of their own.
    using DeviceSource = std::function<std::vector<AudioOutputDevice>()>;

    explicit OutputsSettings(SettingsStore& settings, DeviceSource devices = AudioDevices::allOutputs,
                             QWidget* parent = nullptr);

    const std::optional<Uuid>& selectedID() const { return selectedID_; }
    void select(const std::optional<Uuid>& id);
    const std::vector<AudioOutputDevice>& devices() const { return devices_; }
    ProfileEditor& editor() { return *editor_; }

    // A new stereo speaker profile "New Output", selected.
    void addProfile();
    // Removes the selected profile and selects the first one left; refused
    // while fewer than two profiles exist or nothing is selected.
    void removeProfile();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void showDetail();

    SettingsStore& settings_;
    DeviceSource source_;
    std::optional<Uuid> selectedID_;
    std::vector<AudioOutputDevice> devices_;

    QListWidget* list_;
    QToolButton* add_;
    QToolButton* remove_;
    QStackedWidget* detail_;
    ProfileEditor* editor_;
    QLabel* placeholder_;
};

}  // namespace qm
