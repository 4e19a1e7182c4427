#include "app/monitor/MonitorEngine.h"

#include <nlohmann/json.hpp>

#include "monitor/MonitorMatrix.h"
#include "platform/AppError.h"
#include "spatial/UpmixPlanner.h"

#include <algorithm>
#include <cmath>

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
    failureWatch_.setInterval(100);
    connect(&failureWatch_, &QTimer::timeout, this, &MonitorEngine::watchFailures);
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
    // Another profile on the device the stream plays to is only another
    // matrix: it crossfades in like any change of the controls, with no gap.
    const std::optional<OutputEndpoint> output = running_ ? outputOf(profileFor(id)) : std::nullopt;
    if (id == profileID_ || !output || output->uid != outputUID_) {
        setRebuilding(profileID_, id, &MonitorEngine::profileIDChanged);
        return;
    }
    profileID_ = id;
    persist();
    emit profileIDChanged();
    apply();
}

OutputProfile MonitorEngine::profile() const { return profileFor(profileID_); }

OutputProfile MonitorEngine::profileFor(const std::optional<Uuid>& id) const {
    const auto& profiles = settings_.value().profiles;
    if (id) {
        for (const auto& p : profiles)
            if (p.id == *id) return p;
    }
    for (const auto& p : profiles)
        if (p.kind == OutputProfile::Kind::speakers && p.layout == LayoutID::l916) return p;
    return profiles.empty() ? OutputProfile{} : profiles.front();
}

// The profile's device, or the server's default (the first it lists); the
// silent built-in output is no monitor output.
std::optional<OutputEndpoint> MonitorEngine::outputOf(const OutputProfile& profile) {
    for (const auto& o : AudioOutputs::list()) {
        if (profile.deviceUID && o.uid != *profile.deviceUID) continue;
        if (o.uid == AudioOutputs::nullUID) return std::nullopt;
        return o;
    }
    return std::nullopt;
}

bool MonitorEngine::upmixAvailable() const {
    const OutputProfile p = profile();
    if (p.kind == OutputProfile::Kind::headphones) return false;
    return UpmixPlanner::applies(monitorSource::speakers(state_.source), layout::speakers(p.layout));
}

std::vector<AudioOutputDevice> MonitorEngine::inputDevices() { return AudioDevices::allInputs(); }

void MonitorEngine::start() {
    if (running_) return;
    // A system without a monitor is said first: on ALSA alone no source can
    // be chosen at all, so asking for one would send the user nowhere.
    const std::optional<OutputEndpoint> output = outputOf(profile());
    if (output && !AudioDuplexes::supports(*output)) {
        setMessage(tr("The monitor needs PipeWire or JACK: ALSA alone can't take a source"));
        return;
    }
    if (!sourceUID_) {
        setMessage(tr("Choose the source (where your DAW's bus arrives)"));
        return;
    }
    if (!output) {
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
    chain_ = std::make_unique<MonitorChain>(unit_->state(), main_);
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
        duplex_ = AudioDuplexes::open(*source, *output, &MonitorChain::processCallback, chain_.get(), onChange);
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
    sampleRate_ = duplex_->sampleRate();
    period_ = static_cast<uint32_t>(std::lround(duplex_->period() * sampleRate_));
    outputUID_ = output->uid;
    deviceSpeakers_ = AudioDevices::speakersAt(output->positions);
    unit_->prepare(inputChannels_, sampleRate_);
    chain_->prepare(deviceChannels_, sampleRate_);
    chainUnits_.clear();
    const QStringList skipped = chainInserts(false);
    apply();
    try {
        duplex_->start();
    } catch (const AppError&) {
        teardown();
        setMessage(tr("Couldn't combine the source and output devices"));
        return;
    }
    failuresShown_.clear();
    failureWatch_.start();
    setRunning(true);
    setMessage(skipped.isEmpty() ? std::nullopt : std::optional<QString>(skipped.join(QStringLiteral("; "))));
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
    // No callback runs any more: the chain, the node and its records can go
    // (the records through the main queue, as always).
    failureWatch_.stop();
    chain_.reset();
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
    unit_->setConfig(MonitorMatrix::build(state_, inputChannels_, profile(), deviceChannels_, deviceSpeakers_));
    reportLatency();
}

void MonitorEngine::reportLatency() {
    if (duplex_ && unit_) duplex_->setLatency(unit_->latency() + (chain_ ? chain_->latency() : 0));
}

// Instances of every insert for the stream: with `keepRunning`, those the
// chain runs already for the unchanged start of the list; instances a unit
// made for this stream's shape and never ran; new ones for the rest. The
// chain crossfades to the list. An insert that cannot be made is left out
// and named.
QStringList MonitorEngine::chainInserts(bool keepRunning) {
    MonitorChain::Inserts list;
    std::vector<const Lv2Unit*> units;
    QStringList skipped;
    const MonitorChain::Inserts& running = chain_->inserts();
    bool same = keepRunning;
    for (const auto& insert : inserts_) {
        const size_t at = list.size();
        same = same && at < chainUnits_.size() && at < running.size() && chainUnits_[at] == insert.unit.get();
        std::shared_ptr<Lv2Instances> instances;
        if (same) {
            instances = running[at];
        } else if (const auto& latest = insert.unit->latest();
                   latest && !latest->isLive() && latest->channels() == deviceChannels_ &&
                   latest->sampleRate() == sampleRate_ && latest->block() == period_) {
            instances = latest;
        } else {
            try {
                instances = insert.unit->instantiate(deviceChannels_, sampleRate_, period_);
            } catch (const AppError&) {
                skipped << tr("%1 couldn't be loaded and is skipped").arg(insert.name);
                same = false;
                continue;
            }
        }
        instances->live();
        list.push_back(std::move(instances));
        units.push_back(insert.unit.get());
    }
    chain_->setInserts(std::move(list));
    chainUnits_ = std::move(units);
    reportLatency();
    return skipped;
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
            teardown();
            setRunning(false);
            setMessage(tr("The output device isn't available"));
            return;
        case DuplexChange::serverLost:
            teardown();
            setRunning(false);
            setMessage(tr("The sound server stopped"));
            return;
    }
}

std::vector<Lv2Plugin> MonitorEngine::effectComponents() {
    std::vector<Lv2Plugin> all = Lv2Host::plugins();
    sortComponents(all);
    return all;
}

void MonitorEngine::sortComponents(std::vector<Lv2Plugin>& components) {
    std::sort(components.begin(), components.end(), [](const Lv2Plugin& a, const Lv2Plugin& b) {
        return a.manufacturer + a.name < b.manufacturer + b.name;
    });
}

std::vector<MonitorEngine::ComponentGroup> MonitorEngine::groupComponents(const std::vector<Lv2Plugin>& components,
                                                                          int channels, const QString& search) {
    const QStringList words = search.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    std::vector<ComponentGroup> groups;
    for (const auto& c : components) {
        if (!Lv2Host::fits(c, channels)) continue;
        const QString text = QString::fromStdString(c.manufacturer + " " + c.name);
        if (!std::all_of(words.begin(), words.end(), [&](const QString& w) { return text.contains(w, Qt::CaseInsensitive); }))
            continue;
        auto g = std::find_if(groups.begin(), groups.end(), [&](const ComponentGroup& x) { return x.category == c.category; });
        if (g == groups.end()) g = groups.insert(groups.end(), ComponentGroup{c.category, {}});
        g->plugins.push_back(c);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const ComponentGroup& a, const ComponentGroup& b) { return a.category < b.category; });
    return groups;
}

int MonitorEngine::insertChannels() const {
    if (deviceChannels_ > 0) return deviceChannels_;
    const OutputProfile p = profile();
    if (p.kind == OutputProfile::Kind::headphones) return 2;
    return std::max(static_cast<int>(p.outputs.size()), 1);
}

void MonitorEngine::addInsert(const Lv2Plugin& component) {
    const double rate = sampleRate_ > 0 ? sampleRate_ : 48000.0;
    const uint32_t block = period_ > 0 ? period_ : kMaxRenderFrames;
    std::shared_ptr<Lv2Unit> unit;
    try {
        unit = std::make_shared<Lv2Unit>(component, insertChannels(), rate, block);
    } catch (const AppError& e) {
        setMessage(QString::fromStdString(e.what()));
        return;
    }
    const QString name = QString::fromStdString(component.manufacturer + ": " + component.name);
    inserts_.push_back(Insert{Uuid::random(), name, std::move(unit)});
    emit insertsChanged();
    if (running_) {
        const QStringList skipped = chainInserts(true);
        if (!skipped.isEmpty()) setMessage(skipped.join(QStringLiteral("; ")));
    }
}

void MonitorEngine::removeInsert(const Uuid& id) {
    const auto before = inserts_.size();
    std::erase_if(inserts_, [&](const Insert& i) { return i.id == id; });
    windows_.erase(id);
    if (inserts_.size() == before) return;
    emit insertsChanged();
    if (running_) {
        const QStringList skipped = chainInserts(true);
        if (!skipped.isEmpty()) setMessage(skipped.join(QStringLiteral("; ")));
    }
}

void MonitorEngine::toggleBypass(const Uuid& id) {
    for (auto& insert : inserts_) {
        if (insert.id != id) continue;
        insert.unit->setBypassed(!insert.unit->bypassed());
        emit insertsChanged();
        return;
    }
}

void MonitorEngine::showUI(const Uuid& id) {
    const auto it = std::find_if(inserts_.begin(), inserts_.end(), [&](const Insert& i) { return i.id == id; });
    if (it == inserts_.end()) return;
    if (auto w = windows_.find(id); w != windows_.end()) {
        w->second->present();
        return;
    }
    if (!windowFactory_) return;
    auto window = windowFactory_(*it);
    if (!window) return;
    window->present();
    windows_[id] = std::move(window);
}

MonitorEngine::InsertWindow* MonitorEngine::window(const Uuid& id) const {
    const auto it = windows_.find(id);
    return it == windows_.end() ? nullptr : it->second.get();
}

void MonitorEngine::closeFailedWindow(const Uuid& id, const QString& message) {
    windows_.erase(id);
    setMessage(message);
}

void MonitorEngine::watchFailures() {
    if (!chain_) return;
    for (const auto& insert : inserts_) {
        const Lv2Unit* unit = insert.unit.get();
        if (!unit->failed() ||
            std::find(failuresShown_.begin(), failuresShown_.end(), unit) != failuresShown_.end())
            continue;
        failuresShown_.push_back(unit);
        setMessage(tr("%1 failed and is bypassed").arg(insert.name));
        emit insertsChanged();
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
