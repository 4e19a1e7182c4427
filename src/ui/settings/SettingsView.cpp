#include "ui/settings/SettingsView.h"

#include <QPointer>
#include <QVBoxLayout>

#include "app/shell/AppModel.h"

#include "ui/settings/AuditionSettings.h"
#include "ui/settings/LibrarySettings.h"
#include "ui/widgets/Icons.h"

namespace qm {

SettingsView::SettingsView(AppModel& app, OutputsSettings::DeviceSource devices, QWidget* parent)
    : SettingsView(app.settings(), app.library(), app.workspace(),
                   [root = QPointer<AppModel>(&app)] {
                       if (root) root->addLibraryFolder();
                   },
                   std::move(devices), parent) {
    audition_->setWaylandSession(app.waylandSession());
}

SettingsView::SettingsView(SettingsStore& settings, LibraryModel& library, FileReveal& workspace,
                           std::function<void()> addLibraryFolder, OutputsSettings::DeviceSource devices,
                           QWidget* parent)
    : QWidget(parent) {
    auto* centre = new QVBoxLayout(this);
    centre->setContentsMargins(0, 0, 0, 0);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("settingsTabs");
    tabs_->setFixedSize(kWidth, kHeight);
    outputs_ = new OutputsSettings(settings, std::move(devices), tabs_);
    audition_ = new AuditionSettings(settings, workspace, tabs_);
    library_ = new LibrarySettings(settings, library, std::move(addLibraryFolder), tabs_);
    tabs_->addTab(outputs_, icons::symbol("hifispeaker.2"), "Outputs");
    tabs_->addTab(audition_, icons::symbol("waveform"), "Audition");
    tabs_->addTab(library_, icons::symbol("books.vertical"), "Library");
    centre->addWidget(tabs_, 0, Qt::AlignCenter);
}

}  // namespace qm
