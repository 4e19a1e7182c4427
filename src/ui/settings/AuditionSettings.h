// The Audition tab of the settings window: the file-manager switches (the
// panel under its windows, Space plays, auto-play), mono files from the
// centre speaker, the pulls folder ("Choose…", "Show"), the path of the
// outside downloader with a status line that says which tool would run, and
// the AI generation service (address and key, empty by default) with a line
// that says whether and where the editor's AI buttons send.
//
// Each control writes one settings field through SettingsStore::update and
// shows the stored value back; the path field writes on every keystroke
// and the status line looks the tool up again on every edit. "Show" makes
// the folder (and its parents) first, ignoring a failure, then asks the
// file manager to open it.
//
// On a Wayland session the file-manager switches are not offered: a note
// says that following the file manager works in X11 sessions only.
//
// Seams for tests: the folder chooser (a directory-mode file dialog that
// can make folders) and the places the downloader is looked for.
// Controls carry object names: "finderPanel", "spacePlaysInFinder",
// "autoPlay", "waylandNote", "monoToCenter", "pullsFolder", "choosePulls",
// "showPulls", "ytDlpPath", "ytDlpStatus", "aiServiceAddress", "aiServiceKey",
// "aiServiceStatus". Main thread only.
#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace qm {

namespace widgets {
class ElidedLabel;
}

class FileReveal;
class SettingsStore;

class AuditionSettings : public QWidget {
    Q_OBJECT

public:
    // Asks the user for a folder, starting at `start`; nothing on cancel.
    using FolderChooser =
        std::function<std::optional<std::filesystem::path>(QWidget* parent, const std::filesystem::path& start)>;

    AuditionSettings(SettingsStore& settings, FileReveal& workspace, QWidget* parent = nullptr);

    static std::optional<std::filesystem::path> chooseWithDialog(QWidget* parent, const std::filesystem::path& start);
    void setFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }
    void setDownloaderLocations(std::vector<std::string> locations);
    void setWaylandSession(bool wayland);

    // What a Wayland session reads in place of the file-manager switches.
    static constexpr const char* kWaylandNote =
        "This session runs on Wayland, where the file manager cannot be followed: the panel under its "
        "windows, Space in it and auto-play of its selection work in X11 sessions only. To use them, choose "
        "an X11 session when you log in (for GNOME, \"GNOME on Xorg\"; for KDE, \"Plasma (X11)\").";

    void choosePullsFolder();
    void showPullsFolder();

public slots:
    void refresh();

protected:
    // The tool may have been installed or removed meanwhile.
    void showEvent(QShowEvent* event) override;

private:
    void updateStatus(const std::string& custom);
    void updateAiStatus();

    SettingsStore& settings_;
    FileReveal& workspace_;
    FolderChooser chooser_ = chooseWithDialog;
    std::optional<std::vector<std::string>> locations_;

    QCheckBox* finderPanel_;
    QCheckBox* spacePlays_;
    QCheckBox* autoPlay_;
    QLabel* waylandNote_;
    QCheckBox* monoToCenter_;
    widgets::ElidedLabel* pulls_;
    QLineEdit* ytDlp_;
    QLabel* status_;
    QLineEdit* aiAddress_;
    QLineEdit* aiKey_;
    QLabel* aiStatus_;
};

}  // namespace qm
