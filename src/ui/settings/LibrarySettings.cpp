#include "ui/settings/LibrarySettings.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/core/SettingsStore.h"
#include "app/library/LibraryModel.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/Style.h"

namespace qm {

using widgets::named;

LibrarySettings::LibrarySettings(SettingsStore& settings, LibraryModel& library, std::function<void()> addLibraryFolder,
                                 QWidget* parent)
    : QWidget(parent), settings_(settings), library_(library), addLibraryFolder_(std::move(addLibraryFolder)) {
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(20, 16, 20, 16);
    auto* box = new QGroupBox("Library folders (indexed for search)", this);
    auto* column = new QVBoxLayout(box);
    column->setSpacing(6);
    rowsBox_ = named(new QWidget(box), "roots");
    rowsLayout_ = new QVBoxLayout(rowsBox_);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setSpacing(6);
    column->addWidget(rowsBox_);

    auto* last = new QHBoxLayout;
    auto* add = named(new QPushButton(QStringLiteral("Add Folder\u2026"), box), "addFolder");
    connect(add, &QPushButton::clicked, this, [this] {
        if (addLibraryFolder_) addLibraryFolder_();
    });
    auto* rescan = named(new QPushButton("Rescan All", box), "rescanAll");
    connect(rescan, &QPushButton::clicked, this, [this] { library_.rescanAll(); });
    status_ = named(new QLabel(box), "libraryStatus");
    style::setTextColour(status_, style::secondaryLabel(palette()));
    last->addWidget(add);
    last->addWidget(rescan);
    last->addStretch(1);
    last->addWidget(status_);
    column->addLayout(last);
    form->addWidget(box);
    form->addStretch(1);

    connect(&settings_, &SettingsStore::valueChanged, this, &LibrarySettings::refresh);
    connect(&library_, &LibraryModel::indexingChanged, this, &LibrarySettings::refresh);
    connect(&library_, &LibraryModel::indexedCountChanged, this, &LibrarySettings::refresh);
    rebuildRows();
    refresh();
}

QString LibrarySettings::statusText(bool indexing, qint64 count, const QLocale& locale) {
    if (indexing) return QStringLiteral("Indexing\u2026");
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    return grouped.toString(count) + QStringLiteral(" files");
}

void LibrarySettings::refresh() {
    if (settings_.value().libraryRoots != shownRoots_) rebuildRows();
    status_->setText(statusText(!library_.indexing().empty(), library_.indexedCount()));
}

void LibrarySettings::rebuildRows() {
    // A row's own Remove button may be the sender being handled: rows leave
    // the screen now and are deleted once the event loop is back.
    for (QWidget* row : rows_) {
        row->hide();
        rowsLayout_->removeWidget(row);
        row->deleteLater();
    }
    rows_.clear();
    shownRoots_ = settings_.value().libraryRoots;
    for (const std::string& root : shownRoots_) {
        const QString path = QString::fromStdString(root);
        auto* row = new QWidget(rowsBox_);
        row->setObjectName(QStringLiteral("root:") + path);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto* text = new widgets::ElidedLabel(Qt::ElideLeft, row);
        text->setText(path);
        text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        auto* remove = new QPushButton("Remove", row);
        remove->setObjectName(QStringLiteral("remove:") + path);
        connect(remove, &QPushButton::clicked, this, [this, root] { library_.removeRoot(root); });
        line->addWidget(text, 1);
        line->addWidget(remove);
        rowsLayout_->addWidget(row);
        rows_.push_back(row);
    }
    rowsBox_->setVisible(!rows_.empty());
}

}  // namespace qm
