#include "app/core/SettingsStore.h"

#include <nlohmann/json.hpp>

namespace qm {

SettingsStore::SettingsStore(std::shared_ptr<UserDefaults> defaults, QObject* parent)
    : QObject(parent), defaults_(std::move(defaults)) {
    // Whoever writes first (a setting, a window's place) keeps the file.
    defaults_->setKeptObserver([this] { noteKeptCopy(); });
    load();
}

SettingsStore::~SettingsStore() { defaults_->setKeptObserver({}); }

void SettingsStore::noteKeptCopy() {
    const std::optional<std::filesystem::path>& kept = defaults_->keptCopy();
    if (!kept) return;
    const QString sentence = QStringLiteral("The settings file as it was is kept as \"%1\".")
                                 .arg(QString::fromStdString(kept->filename().string()));
    if (message_.contains(sentence)) return;
    setMessage(message_.isEmpty() ? sentence : message_ + u' ' + sentence);
}

void SettingsStore::load() {
    // The file itself unreadable, or some values in it too large to read.
    const QString fileProblem = defaults_->problem().isEmpty() ? QString() : defaults_->problem() + u'.';
    setMessage(fileProblem);
    auto stored = defaults_->data(documentKey);
    if (!stored) return;  // first start: the defaults, nothing written

    std::vector<std::string> reverted;
    QString problem;
    try {
        value_ = AppSettings::decodeText(std::string_view(stored->constData(),
                                                          static_cast<size_t>(stored->size())),
                                         &reverted);
        if (!reverted.empty()) {
            // Paths ("upmix.params.ambienceDB") name values held to their
            // controls' ranges; plain keys, values that took their defaults.
            QStringList keys, held;
            for (const auto& k : reverted)
                (k.find('.') == std::string::npos ? keys : held) << QString::fromStdString(k);
            bool profiles = reverted.front() == "profiles";
            if (profiles)
                problem = QStringLiteral("The stored output profiles could not be read; the "
                                         "built-in profiles are in use");
            else if (!keys.isEmpty())
                problem = QStringLiteral("Some stored settings could not be read (%1); their "
                                         "defaults are in use")
                              .arg(keys.join(QStringLiteral(", ")));
            if (!held.isEmpty())
                problem += (problem.isEmpty() ? QString() : QStringLiteral(". ")) +
                           QStringLiteral("Some stored levels lay beyond their controls and were "
                                          "limited (%1)")
                               .arg(held.join(QStringLiteral(", ")));
        }
    } catch (const nlohmann::json::exception&) {
        value_ = AppSettings{};
        problem = QStringLiteral("The stored settings could not be read; the defaults are in use");
    }
    if (problem.isEmpty()) return;

    // Keep what could not be read, so that the first change (which rewrites
    // the whole document) does not lose it for good.
    bool kept = defaults_->data(unreadableKey) == stored || defaults_->setData(unreadableKey, *stored);
    const QString before = fileProblem.isEmpty() ? QString() : fileProblem + u' ';
    if (kept)
        setMessage(before + problem + QStringLiteral(". The stored settings are kept under \"%1\".")
                                          .arg(QLatin1String(unreadableKey)));
    else
        setMessage(before + problem + QStringLiteral("."));
    noteKeptCopy();  // the write just made kept the file
}

void SettingsStore::setValue(const AppSettings& value) {
    if (value == value_) return;
    value_ = value;
    persist();
    emit valueChanged();
}

void SettingsStore::update(const std::function<void(AppSettings&)>& change) {
    AppSettings next = value_;
    change(next);
    setValue(next);
}

OutputProfile SettingsStore::activeProfile() const {
    for (const auto& p : value_.profiles)
        if (value_.activeProfileID && p.id == *value_.activeProfileID) return p;
    if (!value_.profiles.empty()) return value_.profiles.front();
    // The list is never empty by design; should a caller empty it anyway,
    // play through what a reload would give.
    return OutputProfile::defaults().front();
}

void SettingsStore::persist() {
    QString failure;
    try {
        std::string doc = value_.encode();
        if (!defaults_->setData(documentKey, QByteArray::fromStdString(doc)))
            failure = defaults_->writeError().isEmpty() ? QStringLiteral("the settings file cannot be written")
                                                        : defaults_->writeError();
    } catch (const nlohmann::json::exception& e) {
        failure = QString::fromUtf8(e.what());
    }
    if (!failure.isEmpty()) {
        saveFailed_ = true;
        setMessage(QStringLiteral("Settings could not be saved: %1").arg(failure));
    } else if (saveFailed_) {
        saveFailed_ = false;
        setMessage(QString());
    }
}

void SettingsStore::setMessage(const QString& text) {
    if (text == message_) return;
    message_ = text;
    emit messageChanged();
}

}  // namespace qm
