#include "ui/shell/FolderDialog.h"

#include <QAbstractItemView>
#include <QFileDialog>
#include <QStandardPaths>
#include <QTimer>

namespace qm {

FolderDialog::FolderDialog(QWidget* parent) : parent_(parent) {}

std::unique_ptr<QFileDialog> FolderDialog::make(const QString& acceptLabel, QWidget* parent) {
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, acceptLabel);
    dialog->setWindowTitle(acceptLabel);
    dialog->setDirectory(QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
    // The toolkit's dialog takes one folder unless its views allow more.
    for (auto* view : dialog->findChildren<QAbstractItemView*>(QStringLiteral("listView")))
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (auto* view : dialog->findChildren<QAbstractItemView*>(QStringLiteral("treeView")))
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    return dialog;
}

std::optional<std::vector<std::filesystem::path>> FolderDialog::chooseFolders(const QString& acceptLabel) {
    const auto dialog = make(acceptLabel, parent_);
    if (onShown) {
        QFileDialog* shown = dialog.get();
        QTimer::singleShot(0, shown, [this, shown] { onShown(*shown); });
    }
    if (dialog->exec() != QDialog::Accepted) return std::nullopt;
    std::vector<std::filesystem::path> folders;
    for (const QString& file : dialog->selectedFiles()) folders.emplace_back(file.toStdString());
    return folders;
}

}  // namespace qm
