#include "JackTestDevice.h"

#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace qm::test {


CycleLog::CycleLog(size_t cycles) : positions_(cycles), times_(cycles) {}

void CycleLog::note(int64_t position, int64_t frameTime) {
    const size_t n = count_.load(std::memory_order_relaxed);
    if (n >= positions_.size()) return;
    positions_[n] = position;
    times_[n] = frameTime;
    count_.store(n + 1, std::memory_order_release);
}

int64_t CycleLog::frameTimeOf(int64_t position) const {
    const size_t n = count_.load(std::memory_order_acquire);
    if (n == 0 || position < positions_[0]) return -1;
    const auto it = std::upper_bound(positions_.begin(), positions_.begin() + static_cast<std::ptrdiff_t>(n), position);
    const size_t k = static_cast<size_t>(it - positions_.begin()) - 1;
    return times_[k] + (position - positions_[k]);
}

int64_t CycleLog::positionAt(int64_t frameTime) const {
    const size_t n = count_.load(std::memory_order_acquire);
    if (n == 0 || frameTime < times_[0]) return -1;
    const auto it = std::upper_bound(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(n), frameTime);
    const size_t k = static_cast<size_t>(it - times_.begin()) - 1;
    const int64_t position = positions_[k] + (frameTime - times_[k]);
    // Past the kept cycle's end (a cycle missed between two kept ones): unknown.
    if (k + 1 < n && position >= positions_[k + 1]) return -1;
    return position;
}

int CycleLog::missed() const {
    const size_t n = count_.load(std::memory_order_acquire);
    int gaps = 0;
    for (size_t k = 1; k < n; ++k) gaps += times_[k] - times_[k - 1] != positions_[k] - positions_[k - 1] ? 1 : 0;
    return gaps;
}

std::vector<int64_t> CycleLog::cycleStarts() const {
    const size_t n = count_.load(std::memory_order_acquire);
    return {positions_.begin(), positions_.begin() + static_cast<std::ptrdiff_t>(n)};
}

// ---------------------------------------------------------------------------

void JackStandIn::open(const std::string& clientName, int channels, const char* prefix, unsigned long direction,
                       int (*process)(uint32_t, void*)) {
    for (int attempt = 0; attempt < 5 && !client_; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(30 + 20 * attempt));
        client_ = jack_client_open(clientName.c_str(),
                                   static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), nullptr);
    }
    if (!client_) return;
    for (int c = 0; c < channels; ++c) {
        std::string name = std::string(prefix) + "_" + std::to_string(c + 1);
        ports_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            direction | JackPortIsPhysical | JackPortIsTerminal, 0));
    }
    jack_set_process_callback(client_, process, this);
    if (jack_activate(client_) != 0) close();
}

void JackStandIn::close() {
    if (!client_) return;
    jack_deactivate(client_);
    for (jack_port_t* p : ports_) jack_port_unregister(client_, p);
    jack_client_close(client_);
    client_ = nullptr;
    ports_.clear();
}

// ---------------------------------------------------------------------------

JackTestDevice::JackTestDevice(const std::string& clientName, int channels, int64_t capacityFrames)
    : JackStandIn(static_cast<size_t>(capacityFrames / 16 + 64)),
      data_(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(capacityFrames))),
      capacity_(capacityFrames) {
    open(clientName, channels, "playback", JackPortIsInput, &JackTestDevice::process);
}

int JackTestDevice::process(uint32_t frames, void* arg) {
    auto* self = static_cast<JackTestDevice*>(static_cast<JackStandIn*>(arg));
    int64_t at = self->recorded_.load(std::memory_order_relaxed);
    int64_t n = std::min<int64_t>(frames, self->capacity_ - at);
    if (n <= 0) return 0;
    self->cycles_.note(at, static_cast<int64_t>(jack_last_frame_time(self->client_)));
    for (size_t c = 0; c < self->ports_.size(); ++c) {
        auto* in = static_cast<const float*>(jack_port_get_buffer(self->ports_[c], frames));
        std::copy(in, in + n, self->data_[c].begin() + at);
    }
    self->recorded_.store(at + n, std::memory_order_release);
    return 0;
}

int64_t JackTestDevice::frameTime() const { return client_ ? jack_frame_time(client_) : 0; }

int64_t JackTestDevice::firstSoundTime(int64_t from) const {
    const int64_t n = recorded();
    for (int64_t i = std::max<int64_t>(from, 0); i < n; ++i) {
        bool sound = false;
        for (const auto& c : data_) sound = sound || c[static_cast<size_t>(i)] != 0.0f;
        if (sound) return cycles_.frameTimeOf(i);
    }
    return -1;
}

// ---------------------------------------------------------------------------

JackTestSource::JackTestSource(const std::string& clientName, std::vector<std::vector<float>> signal, bool loop)
    : JackStandIn(1 << 16), signal_(std::move(signal)), loop_(loop) {
    open(clientName, static_cast<int>(signal_.size()), "capture", JackPortIsOutput, &JackTestSource::process);
}

float JackTestSource::sample(int c, int64_t frame) const {
    const auto& s = signal_[static_cast<size_t>(c)];
    const auto length = static_cast<int64_t>(s.size());
    if (frame < 0 || length == 0) return 0.0f;
    if (frame >= length) {
        if (!loop_) return 0.0f;
        frame %= length;
    }
    return s[static_cast<size_t>(frame)];
}

int JackTestSource::process(uint32_t frames, void* arg) {
    auto* self = static_cast<JackTestSource*>(static_cast<JackStandIn*>(arg));
    const int64_t at = self->played_.load(std::memory_order_relaxed);
    self->cycles_.note(at, static_cast<int64_t>(jack_last_frame_time(self->client_)));
    for (size_t c = 0; c < self->ports_.size(); ++c) {
        auto* out = static_cast<float*>(jack_port_get_buffer(self->ports_[c], frames));
        for (uint32_t t = 0; t < frames; ++t) out[t] = self->sample(static_cast<int>(c), at + t);
    }
    self->played_.store(at + frames, std::memory_order_release);
    return 0;
}

}  // namespace qm::test
