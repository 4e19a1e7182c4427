// The folder chooser of "Add to Library": a modal folder dialog of the
// toolkit's own (not the desktop's, which offers one folder at a time),
// folders only, several at once, with the caller's label on its accepting
// button.
//
// Threads: the main thread; chooseFolders() runs the dialog's own loop.
#pragma once

#include "app/shell/FolderChooser.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QFileDialog;

namespace qm {

class FolderDialog : public FolderChooser {
public:
    explicit FolderDialog(QWidget* parent = nullptr);

    std::optional<std::vector<std::filesystem::path>> chooseFolders(const QString& acceptLabel) override;

    // The dialog one question shows.
    static std::unique_ptr<QFileDialog> make(const QString& acceptLabel, QWidget* parent);

    // Called with the dialog once it is shown (tests answer it there).
    std::function<void(QFileDialog&)> onShown;

private:
    QPointer<QWidget> parent_;
};

}  // namespace qm
