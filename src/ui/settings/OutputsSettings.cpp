#include "ui/settings/OutputsSettings.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/SettingsStore.h"
#include "ui/settings/ProfileEditor.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm {

using widgets::named;

namespace {

QString idText(const Uuid& id) { return QString::fromStdString(id.uuidString()); }

QIcon kindIcon(OutputProfile::Kind kind) {
    return icons::symbol(kind == OutputProfile::Kind::headphones ? QStringLiteral("headphones")
                                                                  : QStringLiteral("hifispeaker.2"));
}

}  // namespace

OutputsSettings::OutputsSettings(SettingsStore& settings, DeviceSource devices, QWidget* parent)
    : QWidget(parent), settings_(settings), source_(std::move(devices)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    auto* left = new QWidget(this);
    left->setFixedWidth(190);
    auto* column = new QVBoxLayout(left);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    list_ = named(new QListWidget(left), "profiles");
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setFrameShape(QFrame::NoFrame);
    connect(list_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (!item) return;
        select(Uuid::fromString(item->data(Qt::UserRole).toString().toStdString()));
    });
    column->addWidget(list_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(6, 6, 6, 6);
    add_ = named(widgets::symbolButton("plus", "Add an output", widgets::ControlSize::regular, left), "addProfile");
    remove_ = named(widgets::symbolButton("minus", "Remove the selected output", widgets::ControlSize::regular, left),
                    "removeProfile");
    connect(add_, &QToolButton::clicked, this, &OutputsSettings::addProfile);
    connect(remove_, &QToolButton::clicked, this, &OutputsSettings::removeProfile);
    buttons->addWidget(add_);
    buttons->addWidget(remove_);
    buttons->addStretch(1);
    column->addLayout(buttons);
    left->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    row->addWidget(left);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedWidth(1);
    QPalette linePalette = line->palette();
    linePalette.setColor(QPalette::WindowText, style::separator(linePalette));
    line->setPalette(linePalette);
    row->addWidget(line);

    detail_ = named(new QStackedWidget(this), "detail");
    editor_ = new ProfileEditor(settings_, detail_);
    editor_->setContentsMargins(0, 0, 0, 0);
    auto* padded = new QWidget(detail_);
    auto* pad = new QVBoxLayout(padded);
    pad->setContentsMargins(16, 16, 16, 16);
    pad->addWidget(editor_);
    placeholder_ = named(new QLabel("Select an output", detail_), "placeholder");
    placeholder_->setAlignment(Qt::AlignCenter);
    style::setTextColour(placeholder_, style::secondaryLabel(palette()));
    detail_->addWidget(padded);
    detail_->addWidget(placeholder_);
    row->addWidget(detail_, 1);

    connect(&settings_, &SettingsStore::valueChanged, this, &OutputsSettings::refresh);
    refresh();
}

void OutputsSettings::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    devices_ = source_ ? source_() : std::vector<AudioOutputDevice>{};
    if (!selectedID_) selectedID_ = settings_.activeProfile().id;
    refresh();
}

void OutputsSettings::select(const std::optional<Uuid>& id) {
    if (selectedID_ == id) return;
    selectedID_ = id;
    refresh();
}

void OutputsSettings::addProfile() {
    OutputProfile p;
    p.id = Uuid::random();
    p.name = "New Output";
    p.kind = OutputProfile::Kind::speakers;
    p.deviceUID.reset();
    p.layout = LayoutID::stereo;
    p.outputs = {0, 1};
    p.trimsDB = {0, 0};
    p.headphoneLeft = 0;
    p.headphoneRight = 1;
    settings_.update([&](AppSettings& s) { s.profiles.push_back(p); });
    select(p.id);
}

void OutputsSettings::removeProfile() {
    // The list is never emptied.
    if (settings_.value().profiles.size() < 2 || !selectedID_) return;
    const Uuid id = *selectedID_;
    settings_.update([&](AppSettings& s) { std::erase_if(s.profiles, [&](const OutputProfile& p) { return p.id == id; }); });
    const auto& left = settings_.value().profiles;
    select(left.empty() ? std::nullopt : std::optional<Uuid>(left.front().id));
}

void OutputsSettings::refresh() {
    const auto& profiles = settings_.value().profiles;
    {
        const QSignalBlocker block(list_);
        // Rows are updated in place while the ids stay, so typing a name
        // does not rebuild the list.
        bool sameIDs = list_->count() == static_cast<int>(profiles.size());
        for (int i = 0; sameIDs && i < list_->count(); ++i)
            sameIDs = list_->item(i)->data(Qt::UserRole).toString() == idText(profiles[static_cast<size_t>(i)].id);
        if (!sameIDs) {
            list_->clear();
            for (const auto& p : profiles) {
                auto* item = new QListWidgetItem(list_);
                item->setData(Qt::UserRole, idText(p.id));
            }
        }
        int current = -1;
        for (size_t i = 0; i < profiles.size(); ++i) {
            QListWidgetItem* item = list_->item(static_cast<int>(i));
            const QString name = QString::fromStdString(profiles[i].name);
            if (item->text() != name) item->setText(name);
            item->setIcon(kindIcon(profiles[i].kind));
            if (selectedID_ && profiles[i].id == *selectedID_ && current < 0) current = static_cast<int>(i);
        }
        list_->setCurrentRow(current);
        if (current < 0) list_->clearSelection();
    }
    remove_->setEnabled(profiles.size() >= 2);
    showDetail();
}

void OutputsSettings::showDetail() {
    bool found = false;
    if (selectedID_)
        for (const auto& p : settings_.value().profiles) found = found || p.id == *selectedID_;
    if (found) {
        editor_->bind(*selectedID_, devices_);
        detail_->setCurrentIndex(0);
    } else {
        detail_->setCurrentIndex(1);
    }
}

}  // namespace qm
