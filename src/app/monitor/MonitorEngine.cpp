#include "app/monitor/MonitorEngine.h"

#include <nlohmann/json.hpp>

#include "monitor/MonitorMatrix.h"
#include "platform/AppError.h"

namespace qm {

MonitorEngine::MonitorEngine(SettingsStore& settings, std::shared_ptr<UserDefaults> defaults, MainQueue& main,
                             QObject* parent)
    : QObject(parent),
      settings_(settings),
      defaults_(std::move(defaults)),
      main_(main),
      self_(std::make_shared<MonitorEngine*>(this)) {
    if (auto bytes = defaults_->data(stateKey)) {
        if (auto s = MonitorState::decodeText(bytes->toStdString())) state_ = std::move(*s);
    }
    if (auto bytes = defaults_->data(sourceKey); bytes && !bytes->isEmpty()) sourceUID_ = QString::fromUtf8(*bytes);
    if (auto bytes = defaults_->data(profileKey)) profileID_ = Uuid::fromString(bytes->toStdString());
}

MonitorEngine::~MonitorEngine() { teardown(); }

void MonitorEngine::setState(const MonitorState& state) {
    if (state == state_) return;
    state_ = state;
    apply();
    persist();
    emit stateChanged();
}

// A different source or profile is persisted, announced, and rebuilds a
// running stream.
template <class T>
void MonitorEngine::setRebuilding(std::optional<T>& field, const std::optional<T>& value,
                                  void (MonitorEngine::*changed)()) {
    if (value == field) return;
    field = value;
    persist();
    emit(this->*changed)();
    restartIfRunning();
}

void MonitorEngine::setSourceUID(const std::optional<QString>& uid) {
    setRebuilding(sourceUID_, uid, &MonitorEngine::sourceUIDChanged);
}

void MonitorEngine::setProfileID(const std::optional<Uuid>& id) {
    setRebuilding(profileID_, id, &MonitorEngine::profileIDChanged);
}

OutputProfile MonitorEngine::profile() const {
    const auto& profiles = settings_.value().profiles;
    if (profileID_) {
        for (const auto& p : profiles)
            if (p.id == *profileID_) return p;
    }
    for (const auto& p : profiles)
        if (p.kind == OutputProfile::Kind::speakers && p.layout == LayoutID::l916) return p;
    return profiles.empty() ? OutputProfile{} : profiles.front();
}

std::vector<AudioOutputDevice> MonitorEngine::inputDevices() { return AudioDevices::allInputs(); }

void MonitorEngine::start() {
    if (running_) return;
    if (!sourceUID_) {
        setMessage(tr("Choose the source (where your DAW's bus arrives)"));
        return;
    }

    // The profile's device, or the server's default (the first it lists);
    // the silent built-in output is no monitor output.
    const OutputProfile chosen = profile();
    const std::vector<OutputEndpoint> outputs = AudioOutputs::list();
    const OutputEndpoint* output = nullptr;
    for (const auto& o : outputs) {
        if (!chosen.deviceUID || o.uid == *chosen.deviceUID) {
            output = &o;
            break;
        }
    }
    if (!output || output->uid == AudioOutputs::nullUID) {
        setMessage(tr("The output device isn't available"));
        return;
    }
    const std::vector<SourceEndpoint> sources = AudioDuplexes::sources();
    const std::string sourceUID = sourceUID_->toStdString();
    const SourceEndpoint* source = nullptr;
    for (const auto& s : sources) {
        if (s.uid == sourceUID) {
            source = &s;
            break;
        }
    }
    if (!source) {
        setMessage(tr("Couldn't combine the source and output devices"));
        return;
    }

    // One client owns both sides: with two devices its inputs are the
    // source's ports alone, so the bus's offset is the source's own channel
    // index and nothing is skipped.
    teardown();
    unit_ = std::make_unique<MatrixUnit>(main_);
    std::weak_ptr<MonitorEngine*> weak = self_;
    const uint64_t generation = generation_;
    MainQueue* queue = &main_;
    auto onChange = [weak, generation, queue](DuplexChange change) {
        // On a sound-server thread: hop to the main thread.
        queue->after(0.0, [weak, generation, change] {
            auto self = weak.lock();
            if (self && (*self)->generation_ == generation) (*self)->streamChanged(change);
        });
    };
    try {
        duplex_ = AudioDuplexes::open(*source, *output, &MatrixUnit::State::renderCallback, unit_->state().get(),
                                      onChange);
    } catch (const AppError& e) {
        teardown();
        setMessage(QString::fromStdString(e.what()));
        return;
    }
    // At most 64 source channels reach the node: the matrix is built for
    // the stream's channels, not the source's whole count.
    inputChannels_ = duplex_->inputs();
    deviceChannels_ = duplex_->outputs();
    if (inputChannels_ <= 0 || deviceChannels_ <= 0) {
        teardown();
        setMessage(tr("The devices report no usable channels"));
        return;
    }
    unit_->prepare(inputChannels_, duplex_->sampleRate());
    apply();
    try {
        duplex_->start();
    } catch (const AppError&) {
        teardown();
        setMessage(tr("Couldn't combine the source and output devices"));
        return;
    }
    setRunning(true);
    setMessage(std::nullopt);
}

void MonitorEngine::stop() {
    teardown();
    setRunning(false);
}

void MonitorEngine::teardown() {
    ++generation_;
    if (duplex_) {
        duplex_->pause();
        duplex_.reset();
    }
    // No callback runs any more: the node and its records can go (the
    // records through the main queue, as always).
    unit_.reset();
}

void MonitorEngine::restartIfRunning() {
    if (!running_) return;
    teardown();
    setRunning(false);
    std::weak_ptr<MonitorEngine*> weak = self_;
    main_.after(0.0, [weak] {
        if (auto self = weak.lock()) (*self)->start();
    });
}

void MonitorEngine::apply() {
    if (!unit_ || inputChannels_ <= 0) return;
    unit_->setConfig(MonitorMatrix::build(state_, inputChannels_, profile(), deviceChannels_));
    if (duplex_) duplex_->setLatency(unit_->latency());
}

void MonitorEngine::persist() {
    bool saved = true;
    try {
        saved &= defaults_->setData(stateKey, QByteArray::fromStdString(state_.encode()));
    } catch (const nlohmann::json::exception&) {
        saved &= defaults_->removeValue(stateKey);
    }
    saved &= sourceUID_ ? defaults_->setData(sourceKey, sourceUID_->toUtf8()) : defaults_->removeValue(sourceKey);
    saved &= profileID_ ? defaults_->setData(profileKey, QByteArray::fromStdString(profileID_->uuidString()))
                        : defaults_->removeValue(profileKey);
    if (!saved) setMessage(tr("The monitor settings could not be saved"));
}

void MonitorEngine::streamChanged(DuplexChange change) {
    if (!duplex_) return;
    switch (change) {
        case DuplexChange::rateChanged:
            restartIfRunning();
            return;
        case DuplexChange::sourceLost:
            teardown();
            setRunning(false);
            setMessage(tr("The source device isn't available"));
            return;
        case DuplexChange::outputLost:
        case DuplexChange::serverLost:
            teardown();
            setRunning(false);
            setMessage(tr("The output device isn't available"));
            return;
    }
}

void MonitorEngine::setRunning(bool running) {
    if (running == running_) return;
    running_ = running;
    emit runningChanged();
}

void MonitorEngine::setMessage(const std::optional<QString>& text) {
    if (text == message_) return;
    message_ = text;
    emit messageChanged();
}

}  // namespace qm
