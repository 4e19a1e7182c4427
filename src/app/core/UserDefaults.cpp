#include "app/core/UserDefaults.h"

namespace qm {

UserDefaults::UserDefaults(std::unique_ptr<QSettings> settings) : settings_(std::move(settings)) {}

UserDefaults::UserDefaults(const QString& path)
    : settings_(std::make_unique<QSettings>(path, QSettings::IniFormat)) {}

UserDefaults::~UserDefaults() = default;

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    return std::make_shared<UserDefaults>(std::make_unique<QSettings>());
}

std::optional<QByteArray> UserDefaults::data(const QString& key) const {
    QVariant v = settings_->value(key);
    if (!v.isValid()) return std::nullopt;
    return v.toByteArray();
}

bool UserDefaults::setData(const QString& key, const QByteArray& value) {
    settings_->setValue(key, value);
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

bool UserDefaults::removeValue(const QString& key) {
    settings_->remove(key);
    settings_->sync();
    return settings_->status() == QSettings::NoError;
}

}  // namespace qm
