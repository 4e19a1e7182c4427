#include "JackTestDevice.h"

#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace qm::test {

JackTestDevice::JackTestDevice(const std::string& clientName, int channels,
                               int64_t capacityFrames)
    : data_(static_cast<size_t>(channels), std::vector<float>(static_cast<size_t>(capacityFrames))),
      capacity_(capacityFrames),
      cycleLog_(static_cast<size_t>(capacityFrames / 16 + 1)) {
    for (int attempt = 0; attempt < 5 && !client_; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(30 + 20 * attempt));
        client_ = jack_client_open(clientName.c_str(),
                                   static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                                   nullptr);
    }
    if (!client_) return;
    for (int c = 0; c < channels; ++c) {
        std::string name = "playback_" + std::to_string(c + 1);
        ports_.push_back(jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsInput | JackPortIsPhysical | JackPortIsTerminal,
                                            0));
    }
    jack_set_process_callback(client_, &JackTestDevice::process, this);
    if (jack_activate(client_) != 0) close();
}

JackTestDevice::~JackTestDevice() { close(); }

void JackTestDevice::close() {
    if (!client_) return;
    jack_deactivate(client_);
    for (jack_port_t* p : ports_) jack_port_unregister(client_, p);
    jack_client_close(client_);
    client_ = nullptr;
    ports_.clear();
}

int JackTestDevice::process(uint32_t frames, void* arg) {
    auto* self = static_cast<JackTestDevice*>(arg);
    int64_t at = self->recorded_.load(std::memory_order_relaxed);
    const int64_t k = self->cycles_.load(std::memory_order_relaxed);
    if (k < static_cast<int64_t>(self->cycleLog_.size())) {
        self->cycleLog_[static_cast<size_t>(k)] = {jack_last_frame_time(self->client_), at};
        self->cycles_.store(k + 1, std::memory_order_release);
    }
    int64_t n = std::min<int64_t>(frames, self->capacity_ - at);
    if (n <= 0) return 0;
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
        if (!sound) continue;
        // The cycle whose recording holds frame i.
        const int64_t cycleCount = cycles();
        for (int64_t k = cycleCount - 1; k >= 0; --k) {
            const Cycle& c = cycleLog_[static_cast<size_t>(k)];
            if (c.recordedBefore <= i) return c.frameTime + (i - c.recordedBefore);
        }
        return -1;
    }
    return -1;
}

}  // namespace qm::test
