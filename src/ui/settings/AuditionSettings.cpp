#include "ui/settings/AuditionSettings.h"

#include <QCheckBox>
#include <QFormLayout>
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
#include "app/editor/AIGenerator.h"
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
    auto* finder = section(form, "File Manager", this);
    finderPanel_ = toggle(finder, "finderPanel", "Show the audition panel under file manager windows",
                          &AppSettings::finderPanel);
    spacePlays_ = toggle(finder, "spacePlaysInFinder", "Space plays audio files in the file manager",
                         &AppSettings::spacePlaysInFinder);
    autoPlay_ = toggle(finder, "autoPlay", "Auto-play when the selection changes", &AppSettings::autoPlay);
    waylandNote_ = named(new QLabel(QString::fromUtf8(kWaylandNote), this), "waylandNote");
    waylandNote_->setWordWrap(true);
    waylandNote_->hide();
    finder->addWidget(waylandNote_);
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
    // Wrapped: the install hint is long, and at the desktop's size.
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    link->addWidget(status_);

    // The service the editor's AI buttons ask: none until the user names one.
    auto* ai = section(form, "AI generation service", this);
    auto* fields = new QFormLayout;
    aiAddress_ = named(new QLineEdit(this), "aiServiceAddress");
    aiAddress_->setPlaceholderText("https://");
    aiKey_ = named(new QLineEdit(this), "aiServiceKey");
    aiKey_->setEchoMode(QLineEdit::Password);
    fields->addRow("Address", aiAddress_);
    fields->addRow("Key", aiKey_);
    ai->addLayout(fields);
    aiStatus_ = named(new QLabel(this), "aiServiceStatus");
    aiStatus_->setWordWrap(true);
    ai->addWidget(aiStatus_);
    connect(aiAddress_, &QLineEdit::textEdited, this, [this](const QString& text) {
        const std::string address = text.toStdString();
        settings_.update([&](AppSettings& s) { s.aiServiceAddress = address; });
        updateAiStatus();
    });
    connect(aiKey_, &QLineEdit::textEdited, this, [this](const QString& text) {
        const std::string key = text.toStdString();
        settings_.update([&](AppSettings& s) { s.aiServiceKey = key; });
    });
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

void AuditionSettings::setDownloaderLocations(std::vector<std::string> locations) {
    locations_ = std::move(locations);
    updateStatus(settings_.value().ytDlpPath);
}

void AuditionSettings::setWaylandSession(bool wayland) {
    for (QCheckBox* box : {finderPanel_, spacePlays_, autoPlay_}) box->setVisible(!wayland);
    waylandNote_->setVisible(wayland);
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
    const QString address = QString::fromStdString(s.aiServiceAddress);
    if (aiAddress_->text() != address) aiAddress_->setText(address);
    const QString key = QString::fromStdString(s.aiServiceKey);
    if (aiKey_->text() != key) aiKey_->setText(key);
    updateAiStatus();
}

namespace {

// A status line: a caption in the secondary colour when all is well; what
// stops a feature as every message of the application reads, at the
// desktop's text size in the warning colour.
void setStatus(QLabel* label, const QString& text, bool warning) {
    label->setText(text);
    label->setFont(warning ? style::readingFont() : style::font(style::TextStyle::caption));
    style::setTextColour(label, warning ? style::warning(label->parentWidget()->palette())
                                        : style::secondaryLabel(label->parentWidget()->palette()));
}

}  // namespace

void AuditionSettings::updateAiStatus() {
    const QString address = aiAddress_->text().trimmed();
    if (address.isEmpty())
        setStatus(aiStatus_, "None: the editor's AI buttons stay off, and nothing is sent anywhere.", false);
    else if (const auto refused = AIGenerator::refusal(address))
        setStatus(aiStatus_, *refused, true);
    else
        setStatus(aiStatus_, QStringLiteral("The editor's AI buttons send to ") + QUrl(address).host(), false);
}

void AuditionSettings::updateStatus(const std::string& custom) {
    const auto tool = locations_ ? LinkLoader::ytDlp(custom, *locations_) : LinkLoader::ytDlp(custom);
    if (tool)
        setStatus(status_, QStringLiteral("Using ") + QString::fromStdString(*tool), false);
    else
        setStatus(status_, QString::fromLatin1(LinkLoader::kNotFoundText), true);
}

}  // namespace qm
