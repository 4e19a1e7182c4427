// The "Add to Library" folder dialog answered as a user would: several
// folders chosen with the keyboard and mouse in the toolkit's own dialog,
// and a cancel.
#include "ui/shell/FolderDialog.h"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QListView>
#include <QPushButton>
#include <QTest>

#include <algorithm>

#include <gtest/gtest.h>

#include "ui/UiTestSupport.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

QPushButton* acceptButton(QFileDialog& dialog) {
    auto* box = dialog.findChild<QDialogButtonBox*>("buttonBox");
    return box ? box->button(QDialogButtonBox::Open) : nullptr;
}

}  // namespace

TEST(FolderDialog, OffersFoldersOnlySeveralAtOnceUnderTheCallersLabel) {
    test::TempDir dir;
    for (const char* name : {"one", "two", "three"}) fs::create_directories(dir / name);
    test::writeBytes(dir / "file.wav", "x");

    FolderDialog chooser;
    bool shown = false;
    const auto drive = [&](QFileDialog& dialog) {
        shown = true;
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
        EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
        EXPECT_EQ(dialog.labelText(QFileDialog::Accept), QStringLiteral("Add to Library"));
        dialog.setDirectory(QString::fromStdString(dir.path().string()));
        auto* list = dialog.findChild<QListView*>("listView");
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
        auto* model = qobject_cast<QFileSystemModel*>(list->model());
        ASSERT_NE(model, nullptr);
        // Wait for the listing, then click one and ctrl-click two more.
        const QString root = QString::fromStdString(dir.path().string());
        ASSERT_TRUE(test::waitFor([&] { return model->rowCount(model->index(root)) == 3; }))
            << "folders only: " << model->rowCount(model->index(root));
        bool first = true;
        for (const char* name : {"one", "three", "two"}) {
            const QModelIndex index = model->index(root + "/" + name);
            const QRect rect = list->visualRect(index);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, first ? Qt::NoModifier : Qt::ControlModifier,
                              rect.center());
            first = false;
        }
        test::savePng(dialog, "folder_dialog_three_chosen");
        QPushButton* add = acceptButton(dialog);
        ASSERT_NE(add, nullptr);
        EXPECT_EQ(add->text(), QStringLiteral("Add to Library"));
        QTest::mouseClick(add, Qt::LeftButton);
    };
    chooser.onShown = [&](QFileDialog& dialog) {
        drive(dialog);
        // A failed step above leaves the dialog open: close it.
        if (dialog.isVisible()) dialog.reject();
    };
    const auto chosen = chooser.chooseFolders(QStringLiteral("Add to Library"));
    EXPECT_TRUE(shown);
    ASSERT_TRUE(chosen);
    std::vector<fs::path> sorted = *chosen;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<fs::path>{dir / "one", dir / "three", dir / "two"}));
}

TEST(FolderDialog, ACancelAnswersNothing) {
    FolderDialog chooser;
    chooser.onShown = [](QFileDialog& dialog) { dialog.reject(); };
    EXPECT_FALSE(chooser.chooseFolders(QStringLiteral("Add to Library")));
}
