// The user-defaults store: small named values kept between runs, over
// QSettings (an INI-style file under the user's configuration folder).
//
// Main thread only. The store of the running application is standard();
// tests make one over a file of their own so the user's settings are never
// touched, and may subclass it to watch the writes.
#pragma once

#include <QByteArray>
#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

namespace qm {

class UserDefaults {
public:
    explicit UserDefaults(std::unique_ptr<QSettings> settings);
    // An INI file at `path`, created on the first write.
    explicit UserDefaults(const QString& path);
    virtual ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The store of the application's organisation and name.
    static std::shared_ptr<UserDefaults> standard();

    // The data value under `key`, or nothing when there is none.
    virtual std::optional<QByteArray> data(const QString& key) const;
    // Stores `value` under `key` and flushes it to disk; false when the
    // store could not be written.
    virtual bool setData(const QString& key, const QByteArray& value);
    // Removes the value under `key` (nothing when there is none) and flushes
    // the store; false when it could not be written.
    virtual bool removeValue(const QString& key);

private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace qm
