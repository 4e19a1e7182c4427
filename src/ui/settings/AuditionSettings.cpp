#include "ui/settings/AuditionSettings.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/core/FileReveal.h"
#include "app/core/SettingsStore.h"
#include "app/shell/LinkLoader.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/Style.h"

namespace qm {

using widgets::named;

namespace {

QVBoxLayout* section(QVBoxLayout* form, const QString& title, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    auto* column = new QVBoxLayout(box);
    column->setSpacing(6);
    form->addWidget(box);
    return column;
}

}  // namespace

AuditionSettings::AuditionSettings(SettingsStore& settings, FileReveal& workspace, QWidget* parent)
    : QWidget(parent), settings_(settings), workspace_(workspace) {
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(20, 16, 20, 16);
    form->setSpacing(12);

    auto toggle = [this](QVBoxLayout* column, const char* name, const QString& text, bool AppSettings::*field) {
        auto* box = named(new QCheckBox(text, this), name);
        connect(box, &QCheckBox::toggled, this,
                [this, field](bool on) { settings_.update([&](AppSettings& s) { s.*field = on; }); });
        column->addWidget(box);
        return box;
    };
    auto* finder = section(form, "Finder", this);
    finderPanel_ = toggle(finder, "finderPanel", "Show the audition panel under Finder windows", &AppSettings::finderPanel);
    spacePlays_ = toggle(finder, "spacePlaysInFinder", "Space plays audio files instead of Quick Look",
                         &AppSettings::spacePlaysInFinder);
    autoPlay_ = toggle(finder, "autoPlay", "Auto-play when the selection changes", &AppSettings::autoPlay);
    auto* routing = section(form, "Routing", this);
    monoToCenter_ = toggle(routing, "monoToCenter", "Mono files play from the center speaker", &AppSettings::monoToCenter);

    auto* pulls = section(form, "Pulls (drag-to-DAW renders and downloaded links)", this);
    auto* pullsRow = new QHBoxLayout;
    pulls_ = named(new widgets::ElidedLabel(Qt::ElideLeft, this), "pullsFolder");
    style::setTextColour(pulls_, style::secondaryLabel(palette()));
    pulls_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    pullsRow->addWidget(pulls_, 1);
    auto* choose = named(new QPushButton(QStringLiteral("Choose\u2026"), this), "choosePulls");
    connect(choose, &QPushButton::clicked, this, &AuditionSettings::choosePullsFolder);
    auto* show = named(new QPushButton("Show", this), "showPulls");
    connect(show, &QPushButton::clicked, this, &AuditionSettings::showPullsFolder);
    pullsRow->addWidget(choose);
    pullsRow->addWidget(show);
    pulls->addLayout(pullsRow);

    auto* link = section(form, "Open Copied Link", this);
    ytDlp_ = named(new QLineEdit(this), "ytDlpPath");
    ytDlp_->setPlaceholderText("yt-dlp path (blank = auto)");
    connect(ytDlp_, &QLineEdit::textEdited, this, [this](const QString& text) {
        const std::string path = text.toStdString();
        settings_.update([&](AppSettings& s) { s.ytDlpPath = path; });
        // Also when the store had the text already (nothing announced).
        updateStatus(path);
    });
    link->addWidget(ytDlp_);
    status_ = named(new QLabel(this), "ytDlpStatus");
    status_->setFont(style::font(style::TextStyle::caption));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    link->addWidget(status_);
    form->addStretch(1);

    connect(&settings_, &SettingsStore::valueChanged, this, &AuditionSettings::refresh);
    refresh();
}

std::optional<std::filesystem::path> AuditionSettings::chooseWithDialog(QWidget* parent,
                                                                        const std::filesystem::path& start) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setDirectory(QString::fromStdString(start.string()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return std::filesystem::path(dialog.selectedFiles().front().toStdString());
}

void AuditionSettings::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateStatus(settings_.value().ytDlpPath);
}

void AuditionSettings::setDownloaderLocations(std::vector<std::string> fixed) {
    fixed_ = std::move(fixed);
    updateStatus(settings_.value().ytDlpPath);
}

void AuditionSettings::choosePullsFolder() {
    if (!chooser_) return;
    const auto chosen = chooser_(this, settings_.value().pullsFolder);
    if (!chosen || chosen->empty()) return;
    const std::string path = chosen->string();
    settings_.update([&](AppSettings& s) { s.pullsFolder = path; });
}

void AuditionSettings::showPullsFolder() {
    const std::filesystem::path folder = settings_.value().pullsFolder;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    workspace_.open(folder);
}

void AuditionSettings::refresh() {
    const AppSettings& s = settings_.value();
    const std::pair<QCheckBox*, bool> toggles[] = {
        {finderPanel_, s.finderPanel}, {spacePlays_, s.spacePlaysInFinder}, {autoPlay_, s.autoPlay}, {monoToCenter_, s.monoToCenter}};
    for (auto [box, on] : toggles) {
        const QSignalBlocker block(box);
        box->setChecked(on);
    }
    pulls_->setText(QString::fromStdString(s.pullsFolder));
    const QString path = QString::fromStdString(s.ytDlpPath);
    // The same text again would move the cursor of the field being typed in.
    if (ytDlp_->text() != path) ytDlp_->setText(path);
    updateStatus(s.ytDlpPath);
}

void AuditionSettings::updateStatus(const std::string& custom) {
    const auto tool = fixed_ ? LinkLoader::ytDlp(custom, *fixed_) : LinkLoader::ytDlp(custom);
    if (tool) {
        status_->setText(QStringLiteral("Using ") + QString::fromStdString(*tool));
        style::setTextColour(status_, style::secondaryLabel(palette()));
    } else {
        status_->setText(QString::fromLatin1(LinkLoader::kNotFoundText));
        style::setTextColour(status_, style::orange());
    }
}

}  // namespace qm
