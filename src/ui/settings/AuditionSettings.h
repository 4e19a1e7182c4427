// The Audition tab of the settings window: the file-manager switches (the
// panel under its windows, Space plays, auto-play), mono files from the
// centre speaker, the pulls folder ("Choose…", "Show") and the path of the
// outside downloader with a status line that says which tool would run.
//
// Each control writes one settings field through SettingsStore::update and
// shows the stored value back; the path field writes on every keystroke
// and the status line looks the tool up again on every edit. "Show" makes
// the folder (and its parents) first, ignoring a failure, then asks the
// file manager to open it.
//
// Seams for tests: the folder chooser (a directory-mode file dialog that
// can make folders) and the downloader's fixed install places.
// Controls carry object names: "finderPanel", "spacePlaysInFinder",
// "autoPlay", "monoToCenter", "pullsFolder", "choosePulls", "showPulls",
// "ytDlpPath", "ytDlpStatus". Main thread only.
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
    void setDownloaderLocations(std::vector<std::string> fixed);

    void choosePullsFolder();
    void showPullsFolder();

public slots:
    void refresh();

protected:
    // The tool may have been installed or removed meanwhile.
    void showEvent(QShowEvent* event) override;

private:
    void updateStatus(const std::string& custom);

    SettingsStore& settings_;
    FileReveal& workspace_;
    FolderChooser chooser_ = chooseWithDialog;
    std::optional<std::vector<std::string>> fixed_;

    QCheckBox* finderPanel_;
    QCheckBox* spacePlays_;
    QCheckBox* autoPlay_;
    QCheckBox* monoToCenter_;
    widgets::ElidedLabel* pulls_;
    QLineEdit* ytDlp_;
    QLabel* status_;
};

}  // namespace qm
