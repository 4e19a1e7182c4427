// The single owner of the persisted preferences.
//
// Created once at start-up, before the engine and the other models, and
// handed to everything that reads or changes a preference. It loads the
// document "settings.v1" once and writes the whole document back, inside
// the assignment, whenever an assignment really changes the value (compared
// with AppSettings equality). Nothing is written at load.
//
// A stored document that cannot be read in full (not JSON, or a key such
// as the profile list that had to take its default) is copied unchanged to
// "settings.v1.unreadable" before anything else can overwrite it, and
// `message` says so; the document itself stays as it was until the user
// changes a setting. A file the store could not read whole (a value over
// its limit, a read that failed) is kept beside the new one by the first
// write (UserDefaults), and `message` names the copy.
//
// Main thread only.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "app/core/UserDefaults.h"
#include "audio/AppSettings.h"

namespace qm {

class SettingsStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(qm::AppSettings value READ value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(qm::OutputProfile activeProfile READ activeProfile NOTIFY valueChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)

public:
    static constexpr const char* documentKey = "settings.v1";
    static constexpr const char* unreadableKey = "settings.v1.unreadable";

    explicit SettingsStore(std::shared_ptr<UserDefaults> defaults = UserDefaults::standard(),
                           QObject* parent = nullptr);
    ~SettingsStore() override;

    const AppSettings& value() const { return value_; }
    // Replaces the whole value; persists and announces it only when it differs.
    void setValue(const AppSettings& value);
    // Changes some fields of the value in place, then as setValue.
    void update(const std::function<void(AppSettings&)>& change);

    // The profile whose id is the active-profile id, else the first profile.
    OutputProfile activeProfile() const;

    // A one-line status: why stored settings were not used or not saved.
    QString message() const { return message_; }

    // The store the document lives in, for the views' own remembered state
    // (window places and sizes), kept under keys of their own.
    UserDefaults& defaults() const { return *defaults_; }

signals:
    void valueChanged();
    void messageChanged();

private:
    void load();
    void persist();
    void setMessage(const QString& text);
    // Adds where the file not read whole was kept to the message, once.
    void noteKeptCopy();

    std::shared_ptr<UserDefaults> defaults_;
    AppSettings value_;
    QString message_;
    bool saveFailed_ = false;
};

}  // namespace qm
