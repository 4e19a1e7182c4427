// The live monitor: the bus a workstation plays into a source (a device's
// capture ports, or the workstation's outputs on the same sound server) runs
// through the monitor's matrix node and the user's effect inserts (LV2
// plug-ins, in list order) to the output device of the monitor's output
// profile, adding no latency beyond what the upmix and the plug-ins report.
//
// It publishes the monitor's controls (`state`), the chosen source and
// profile, whether the stream runs, the effect inserts and a one-line
// status; it remembers state, source and profile under
// "monitor.state", "monitor.source" and "monitor.profile" (all three written
// together, on a change of any; restoring writes nothing). A change of
// `state` goes to the running node as a new matrix (crossfaded over one
// period), and so does another profile on the same device; a change of
// source, or of profile to another device, rebuilds the stream. The stream is
// one duplex client over both devices; its process function is the node's
// render. A source, output or server that goes away while the monitor runs
// stops it with a message (state, source, profile and inserts stay); a rate
// change rebuilds it.
//
// Inserts live in memory only and keep their units (controls, bypass, the
// plug-in's own state, chosen files) through stops and restarts. A change of
// the list while running keeps the stream: the new list's instances are made
// on the main thread (those of the unchanged start of the list are kept) and
// the chain crossfades to them within one period. A unit that cannot be made
// for a stream or a list (gone, failing at the rate, not fitting the output)
// is left out of it and named in `message`; one whose output turns
// non-finite is bypassed by the audio thread and named once the watch (a
// timer while running) sees it. Windows of inserts come from the factory
// the composition root installs; without one showUI() does nothing. A
// window whose plug-in failed in it is closed with a message
// (closeFailedWindow).
//
// Main thread only; reports from the sound server's threads arrive through
// the main queue.
#pragma once

#include <QObject>
#include <QString>

#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "monitor/MatrixUnit.h"
#include "monitor/MonitorChain.h"
#include "monitor/MonitorState.h"
#include "platform/AudioDuplex.h"
#include "platform/Lv2Host.h"
#include "platform/MainQueue.h"
#include "platform/Uuid.h"
#include "playback/AudioDevices.h"

namespace qm {

class MonitorEngine : public QObject {
    Q_OBJECT
    Q_PROPERTY(qm::MonitorState state READ state WRITE setState NOTIFY stateChanged)
    Q_PROPERTY(std::optional<QString> sourceUID READ sourceUID WRITE setSourceUID NOTIFY sourceUIDChanged)
    Q_PROPERTY(std::optional<qm::Uuid> profileID READ profileID WRITE setProfileID NOTIFY profileIDChanged)
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(std::vector<qm::MonitorEngine::Insert> inserts READ inserts NOTIFY insertsChanged)
    Q_PROPERTY(std::optional<QString> message READ message NOTIFY messageChanged)

public:
    // An effect insert in the monitor's chain.
    // An effect insert in the monitor's chain; copies share the unit.
    struct Insert {
        Uuid id;
        QString name;  // manufacturer, ": ", plug-in name
        std::shared_ptr<Lv2Unit> unit;
        bool operator==(const Insert&) const = default;
    };

    // A plug-in window of an insert, made by the installed factory; closed
    // when destroyed.
    class InsertWindow {
    public:
        virtual ~InsertWindow() = default;
        // Shows the window again (after the user closed it) and raises it.
        virtual void present() = 0;
    };
    // Makes the window of an insert, or none for a plug-in that has no view.
    using WindowFactory = std::function<std::unique_ptr<InsertWindow>(const Insert&)>;

    // The offered plug-ins of one LV2 class, for the add menu.
    struct ComponentGroup {
        Lv2Category category;
        std::vector<Lv2Plugin> plugins;
    };

    static constexpr const char* stateKey = "monitor.state";
    static constexpr const char* sourceKey = "monitor.source";
    static constexpr const char* profileKey = "monitor.profile";

    // Restores state, source and profile from `defaults` (nothing is
    // written, nothing starts). `main` receives replaced records and the
    // sound server's reports, and must outlive the engine.
    MonitorEngine(SettingsStore& settings, std::shared_ptr<UserDefaults> defaults, MainQueue& main,
                  QObject* parent = nullptr);
    ~MonitorEngine() override;

    const MonitorState& state() const { return state_; }
    // A different value goes to the running node and is persisted.
    void setState(const MonitorState& state);
    const std::optional<QString>& sourceUID() const { return sourceUID_; }
    // A different value is persisted and restarts a running monitor.
    void setSourceUID(const std::optional<QString>& uid);
    const std::optional<Uuid>& profileID() const { return profileID_; }
    // A different value is persisted; a running monitor takes it as a new
    // matrix when the profile plays to the same device, else restarts.
    void setProfileID(const std::optional<Uuid>& id);
    bool running() const { return running_; }
    const std::vector<Insert>& inserts() const { return inserts_; }
    const std::optional<QString>& message() const { return message_; }

    // The chosen profile; else the first 9.1.6 speaker profile; else the first.
    OutputProfile profile() const;
    // The monitor's upmix has something to do: the profile is a speaker
    // profile whose layout has speakers the source's bus can be spread to.
    bool upmixAvailable() const;

    // Builds and starts the stream; does nothing while running. Never
    // throws: every failure ends in `message`, with `running` false.
    void start();
    // teardown(), then `running` false.
    void stop();
    // Stops and drops the stream and the node; leaves `running`, `message`
    // and `inserts` alone.
    void teardown();

    // The sources the window offers, with their channel counts.
    static std::vector<AudioOutputDevice> inputDevices();

    // The plug-ins offered as inserts, by manufacturer name joined to
    // plug-in name.
    static std::vector<Lv2Plugin> effectComponents();
    // Sorts as effectComponents() does.
    static void sortComponents(std::vector<Lv2Plugin>& components);
    // Of `components`, those that can run on `channels` channels and hold
    // every word of `search` in their maker's or their own name (letter case
    // aside), by LV2 class in the order of Lv2Category, each group in the
    // order given.
    static std::vector<ComponentGroup> groupComponents(const std::vector<Lv2Plugin>& components, int channels,
                                                       const QString& search = {});
    // The channels inserts run on: the last stream's outputs, else the
    // profile's (its speakers, or two for headphones).
    int insertChannels() const;
    // Makes the plug-in for the output (the last stream's channels, rate and
    // period, else insertChannels() at 48 kHz) and appends it; a running
    // stream crossfades to the new list. A plug-in that cannot be made: its
    // message, no insert.
    void addInsert(const Lv2Plugin& component);
    // Removes the insert and closes its window; a running stream crossfades
    // to the list without it.
    void removeInsert(const Uuid& id);
    // Flips the bypass and announces the list; no restart.
    void toggleBypass(const Uuid& id);
    // The insert's window, made once and presented again on later calls.
    void showUI(const Uuid& id);
    void setWindowFactory(WindowFactory factory) { windowFactory_ = std::move(factory); }
    // The window made for an insert, or null.
    InsertWindow* window(const Uuid& id) const;
    // The plug-in failed in the insert's window: the window goes (the next
    // showUI() makes a new one) and `message` says so.
    void closeFailedWindow(const Uuid& id, const QString& message);
    // The chain of the running stream (null when stopped).
    const MonitorChain* chain() const { return chain_.get(); }

    // The running stream's counts (0 before the first start) and figures.
    int inputChannels() const { return inputChannels_; }
    int deviceChannels() const { return deviceChannels_; }
    const AudioDuplex* stream() const { return duplex_.get(); }

signals:
    void stateChanged();
    void sourceUIDChanged();
    void profileIDChanged();
    void runningChanged();
    void insertsChanged();
    void messageChanged();

private:
    template <class T>
    void setRebuilding(std::optional<T>& field, const std::optional<T>& value, void (MonitorEngine::*changed)());
    void restartIfRunning();
    OutputProfile profileFor(const std::optional<Uuid>& id) const;
    static std::optional<OutputEndpoint> outputOf(const OutputProfile& profile);
    void apply();
    void persist();
    void streamChanged(DuplexChange change);
    void setRunning(bool running);
    void setMessage(const std::optional<QString>& text);
    void watchFailures();
    QStringList chainInserts(bool keepRunning);
    void reportLatency();

    SettingsStore& settings_;
    std::shared_ptr<UserDefaults> defaults_;
    MainQueue& main_;
    MonitorState state_;
    std::optional<QString> sourceUID_;
    std::optional<Uuid> profileID_;
    bool running_ = false;
    std::vector<Insert> inserts_;
    std::optional<QString> message_;

    std::unique_ptr<MatrixUnit> unit_;
    std::unique_ptr<MonitorChain> chain_;
    std::unique_ptr<AudioDuplex> duplex_;
    int inputChannels_ = 0;
    int deviceChannels_ = 0;
    ChannelSpeakers deviceSpeakers_;  // where the output's channels play, when it says
    double sampleRate_ = 0.0;
    uint32_t period_ = 0;
    // The units of the chain's list, in its order.
    std::vector<const Lv2Unit*> chainUnits_;
    std::string outputUID_;  // the device of the stream last started
    // Reports of a torn-down stream, or of a destroyed engine, are dropped.
    uint64_t generation_ = 0;
    std::shared_ptr<MonitorEngine*> self_;

    WindowFactory windowFactory_;
    std::map<Uuid, std::unique_ptr<InsertWindow>> windows_;
    QTimer failureWatch_;
    // Units whose failure the message already named.
    std::vector<const Lv2Unit*> failuresShown_;
};

}  // namespace qm
