// The library window's right-hand column: the sound metadata of the
// selected files as a form of text fields in iXML tag order, with a
// five-star rating. Several files are edited together: a field whose value
// differs among them is empty with the placeholder "Mixed", and Save writes
// only the fields the user touched (and the rating, once clicked) to every
// file through the library model, which embeds them, updates the catalog
// and logs them for the team. In expert mode all fifteen fields show and
// the files can be renamed to their UCS names.
//
// The form keeps what the user typed until the files change: a refresh of
// the list (a rescan, a team pull, the save's own) reloads nothing. Loading
// reads the catalog rows on the main thread, files without a row from disk.
//
// Main thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

class QAbstractButton;
class QLabel;
class QMessageBox;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace qm {

class LibraryModel;
class SettingsStore;

class InspectorView : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kMixed = "Mixed";
    static constexpr const char* kFooter =
        "Saved into the files (iXML + BWF) and shared with everyone on this library.";
    static constexpr int kMinimumWidth = 260;
    static constexpr int kIdealWidth = 300;
    static constexpr int kMaximumWidth = 420;

    InspectorView(LibraryModel& library, SettingsStore& settings, std::vector<std::filesystem::path> urls,
                  QWidget* parent = nullptr);

    // The tag's display label; the tag itself for a tag without one.
    static QString label(const std::string& tag);
    // The tags shown: all fifteen in expert mode, else five.
    static std::vector<std::string> tags(bool expertMode);
    // "a.wav" for one file, "N files" for any other count.
    static QString title(const std::vector<std::filesystem::path>& urls);
    // "Rename N file(s) to their UCS names?"
    static QString renameTitle(size_t count);

    const std::vector<std::filesystem::path>& urls() const { return urls_; }
    // A new set of files: reloads, dropping unsaved edits.
    void setUrls(std::vector<std::filesystem::path> urls);

    // Reads the files' metadata into the form (catalog rows first).
    void load();
    // Writes the edited fields and the clicked rating to every file.
    void save();
    // Asks whether to rename the files to their UCS names.
    void askRename();

    const std::map<std::string, std::string>& values() const { return values_; }
    const std::set<std::string>& mixed() const { return mixed_; }
    const std::set<std::string>& edited() const { return edited_; }
    int rating() const { return rating_; }
    bool ratingEdited() const { return ratingEdited_; }
    bool confirmRename() const { return confirmRename_; }

    // The field of a shown tag (a QLineEdit or, for "DESCRIPTION" and
    // "NOTES", a QPlainTextEdit); null for a tag not shown.
    QWidget* field(const std::string& tag) const;
    // The field's placeholder text.
    QString placeholder(const std::string& tag) const;
    QAbstractButton* star(int i) const;
    QPushButton* saveButton() const { return save_; }
    QPushButton* revertButton() const { return revert_; }
    QPushButton* renameButton() const { return rename_; }
    QLabel* titleLabel() const { return title_; }

private:
    void build();
    // The user changed a field's text (never what load() sets).
    void userEdited(const std::string& tag, const std::string& text);
    void clickStar(int i);
    void showValues();
    void showStars();
    void updateButtons();

    LibraryModel& library_;
    SettingsStore& settings_;
    std::vector<std::filesystem::path> urls_;

    std::map<std::string, std::string> values_;
    std::set<std::string> mixed_;
    std::set<std::string> edited_;
    int rating_ = 0;
    bool ratingEdited_ = false;
    bool confirmRename_ = false;

    bool expert_ = false;
    bool loading_ = false;
    QWidget* content_ = nullptr;
    QVBoxLayout* form_ = nullptr;
    QLabel* title_ = nullptr;
    std::map<std::string, QWidget*> fields_;
    std::vector<QToolButton*> stars_;
    QPushButton* save_ = nullptr;
    QPushButton* revert_ = nullptr;
    QPushButton* rename_ = nullptr;
    QPointer<QMessageBox> confirm_;
};

}  // namespace qm
