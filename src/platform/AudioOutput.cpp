#include "platform/AudioOutput.h"

#include "platform/AppError.h"
#include "platform/JackClient.h"
#include "platform/RenderFigures.h"
#include "platform/SoundBackends.h"
#include "rt/mn_mix.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

#include <time.h>

namespace qm {

namespace {

constexpr double nullRate = 48000.0;
constexpr uint32_t nullBlock = 256;
constexpr int nullChannels = 2;

OutputEndpoint nullEndpoint() {
    return OutputEndpoint{AudioOutputs::nullUID, "Silent output (no sound device)", {},
                          nullChannels};
}

// ---------------------------------------------------------------------------

class JackOutput final : public FiguredOutput {
public:
    JackOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
               std::function<void()> onChange)
        : device_(device), render_(render), user_(user), onChange_(std::move(onChange)) {
        jack_status_t status{};
        client_ = jackclient::openClient(jackclient::playbackName, &status);
        if (!client_) throw AppError(static_cast<int>(status), "Couldn't open the output device");
        deviceClient_ = jackclient::clientOf(device.ports.empty() ? device.name : device.ports.front());
        int n = std::min<int>(static_cast<int>(device.ports.size()), maxChannels);
        for (int i = 0; i < n; ++i) {
            std::string name = "out_" + std::to_string(i + 1);
            jack_port_t* p = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsOutput, 0);
            if (!p) {
                jackclient::closeClient(client_, watch_);
                throw AppError(-1, "Couldn't open the output device");
            }
            ports_.push_back(p);
        }
        rate_ = static_cast<double>(jack_get_sample_rate(client_));
        description_ = device.name;
        jackclient::setStreamCallbacks(client_, watch_.get(),
                                       [](void* self) { static_cast<JackOutput*>(self)->report(); });
        jack_set_process_callback(client_, &JackOutput::process, this);
        jack_set_sample_rate_callback(client_, &JackOutput::rateChanged, watch_.get());
        jack_set_port_registration_callback(client_, &JackOutput::portRegistered, watch_.get());
    }

    ~JackOutput() override { jackclient::closeClient(client_, std::move(watch_)); }

    int channels() const override { return static_cast<int>(ports_.size()); }
    double sampleRate() const override { return rate_; }
    const std::string& description() const override { return description_; }
    bool isRunning() const override { return running_ && !watch_->serverGone(); }
    int64_t xruns() const override { return watch_->xruns.load(); }
    double period() const override {
        jack_nframes_t frames = periodFrames_.load();
        if (frames == 0 && client_) frames = jack_get_buffer_size(client_);
        return static_cast<double>(frames) / rate_;
    }

    void start() override {
        if (running_) return;
        if (watch_->serverGone()) throw AppError(-1, "Couldn't open the output device");
        if (int rc = jack_activate(client_); rc != 0) {
            throw AppError(rc, "Couldn't open the output device");
        }
        running_ = true;
        // Connections are lost on deactivation: make them on every start.
        for (size_t i = 0; i < ports_.size(); ++i) {
            int rc = jack_connect(client_, jack_port_name(ports_[i]), device_.ports[i].c_str());
            if (rc != 0 && rc != EEXIST) {
                pause();
                throw AppError(rc, "Couldn't open the output device");
            }
        }
        connected_.store(true, std::memory_order_release);
    }

    void pause() override {
        if (!running_) return;
        connected_.store(false, std::memory_order_release);
        jack_deactivate(client_);
        running_ = false;
    }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackOutput*>(arg);
        const jack_time_t start = jack_get_time();
        const int64_t cpuStart = self->figures_.begin();
        const uint32_t n = static_cast<uint32_t>(self->ports_.size());
        for (uint32_t i = 0; i < n; ++i) {
            self->bufs_[i] = static_cast<float*>(jack_port_get_buffer(self->ports_[i], frames));
        }
        // Until the ports reach the device nothing is rendered: frames taken
        // from the source now would never be heard (on a busy machine the
        // connections can take several cycles after the activation).
        if (!self->connected_.load(std::memory_order_acquire)) {
            for (uint32_t i = 0; i < n; ++i) std::memset(self->bufs_[i], 0, sizeof(float) * frames);
            return 0;
        }
        for (uint32_t off = 0; off < frames; off += kMaxRenderFrames) {
            uint32_t chunk = std::min<uint32_t>(kMaxRenderFrames, frames - off);
            for (uint32_t i = 0; i < n; ++i) self->chunk_[i] = self->bufs_[i] + off;
            self->render_(self->user_, chunk, self->chunk_, n);
        }
        self->figures_.end(cpuStart, static_cast<int64_t>(jack_get_time() - start) * 1000);
        self->periodFrames_.store(frames, std::memory_order_relaxed);
        return 0;
    }

    static int rateChanged(jack_nframes_t rate, void* arg) {
        auto access = static_cast<jackclient::Watch*>(arg)->enter();
        auto* self = static_cast<JackOutput*>(access.owner);
        if (self && static_cast<double>(rate) != self->rate_) self->report();
        return 0;
    }

    // Only a change of the device we play to matters; our own ports and
    // other clients' ports are ignored, or every reconfiguration would
    // report itself and loop. A port that is already gone when we look is
    // taken as a change.
    static void portRegistered(jack_port_id_t id, int, void* arg) {
        auto access = static_cast<jackclient::Watch*>(arg)->enter();
        auto* self = static_cast<JackOutput*>(access.owner);
        if (!self) return;
        jack_port_t* p = jack_port_by_id(self->client_, id);
        if (!p) {
            self->report();
            return;
        }
        if (jack_port_is_mine(self->client_, p)) return;
        // Only the device's audio playback ports matter (not its capture or MIDI ports).
        const char* type = jack_port_type(p);
        if (!type || std::strcmp(type, JACK_DEFAULT_AUDIO_TYPE) != 0) return;
        if (!(jack_port_flags(p) & JackPortIsInput)) return;
        const char* name = jack_port_name(p);
        if (name && jackclient::clientOf(name) == self->deviceClient_) self->report();
    }

    void report() {
        if (reported_.exchange(true)) return;
        if (onChange_) onChange_();
    }

    OutputEndpoint device_;
    OutputRenderFn render_;
    void* user_;
    std::function<void()> onChange_;
    // What the client's notification callbacks reach us through; it may
    // outlive us with the client (see jackclient::closeClient).
    std::shared_ptr<jackclient::Watch> watch_ = std::make_shared<jackclient::Watch>(this);
    jack_client_t* client_ = nullptr;
    std::string deviceClient_;
    std::vector<jack_port_t*> ports_;
    float* bufs_[maxChannels] = {};
    float* chunk_[maxChannels] = {};
    double rate_ = 0;
    std::string description_;
    bool running_ = false;
    std::atomic<bool> connected_{false};  // every port connected to the device since the last start
    std::atomic<bool> reported_{false};
    std::atomic<jack_nframes_t> periodFrames_{0};
};

// ---------------------------------------------------------------------------

class NullOutput final : public FiguredOutput {
public:
    NullOutput(OutputRenderFn render, void* user) : render_(render), user_(user) {
        for (int c = 0; c < nullChannels; ++c) ptrs_[c] = buffers_[c];
    }
    ~NullOutput() override { pause(); }

    int channels() const override { return nullChannels; }
    double sampleRate() const override { return nullRate; }
    const std::string& description() const override { return description_; }
    bool isRunning() const override { return thread_.joinable(); }
    int64_t xruns() const override { return late_.load(); }
    double period() const override { return nullBlock / nullRate; }

    void start() override {
        if (thread_.joinable()) return;
        stop_.store(false);
        thread_ = std::thread([this] { run(); });
    }

    void pause() override {
        if (!thread_.joinable()) return;
        stop_.store(true);
        thread_.join();
    }

private:
    // Pulls one block per block period against an absolute clock, so the
    // average rate is exact; after a long stall it starts afresh instead of
    // rushing to catch up.
    void run() {
        mn_fpu_flush_denormals();
        using clock = std::chrono::steady_clock;
        const auto period = std::chrono::duration_cast<clock::duration>(
            std::chrono::duration<double>(nullBlock / nullRate));
        auto next = clock::now();
        while (!stop_.load(std::memory_order_relaxed)) {
            const auto start = clock::now();
            const int64_t cpuStart = figures_.begin();
            render_(user_, nullBlock, ptrs_, nullChannels);
            figures_.end(cpuStart,
                         std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start).count());
            next += period;
            auto now = clock::now();
            if (now - next > period) late_.fetch_add(1);
            if (now - next > std::chrono::milliseconds(100)) next = now;
            std::this_thread::sleep_until(next);
        }
    }

    OutputRenderFn render_;
    void* user_;
    float buffers_[nullChannels][nullBlock] = {};
    float* ptrs_[nullChannels] = {};
    std::string description_ = nullEndpoint().name;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> late_{0};
    std::thread thread_;
};

}  // namespace

namespace backends {

std::optional<std::vector<OutputEndpoint>> jackOutputs() {
    jack_client_t* c = jackclient::openClient(jackclient::playbackName, nullptr);
    if (!c) return std::nullopt;
    std::vector<OutputEndpoint> out;
    // Physical playback ports are inputs from the server's point of view.
    for (auto& group : jackclient::ports(c, JackPortIsPhysical | JackPortIsInput)) {
        const int n = static_cast<int>(group.ports.size());
        out.push_back(OutputEndpoint{jackPrefix + group.client, "JACK: " + group.client, std::move(group.ports), n});
        out.back().rate = static_cast<double>(jack_get_sample_rate(c));
    }
    jackclient::closeClient(c);
    return out;
}

std::unique_ptr<AudioOutput> openJackOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                            std::function<void()> onChange) {
    if (device.ports.empty()) throw AppError(-1, "Couldn't open the output device");
    return std::make_unique<JackOutput>(device, render, user, std::move(onChange));
}

}  // namespace backends

namespace AudioOutputs {

namespace {

// The systems in the order they are asked: a JACK server keeps the
// professional's graph even when a desktop daemon runs beside it.
using Probe = std::optional<std::vector<OutputEndpoint>> (*)();
constexpr struct {
    const char* prefix;
    Probe probe;
} kSystems[] = {{backends::jackPrefix, &backends::jackOutputs},
                {backends::pipewirePrefix, &backends::pipewireOutputs},
                {backends::alsaPrefix, &backends::alsaOutputs}};
constexpr int kSystemCount = static_cast<int>(std::size(kSystems));

// The devices of the first system that answers among those ranked above
// `rank`; none when none of them answers.
std::optional<std::vector<OutputEndpoint>> firstAnswering(int rank) {
    for (int i = 0; i < rank && i < kSystemCount; ++i)
        if (auto found = kSystems[i].probe()) return found;
    return std::nullopt;
}

}  // namespace

int rank(const std::string& uid) {
    for (int i = 0; i < kSystemCount; ++i)
        if (uid.starts_with(kSystems[i].prefix)) return i;
    return kSystemCount;
}

std::vector<OutputEndpoint> list() {
    std::optional<std::vector<OutputEndpoint>> found = firstAnswering(kSystemCount);
    // A system without playback devices still lets the program run silently.
    if (!found || found->empty()) return {nullEndpoint()};
    return std::move(*found);
}

std::optional<std::vector<OutputEndpoint>> listAbove(const std::string& uid) {
    std::optional<std::vector<OutputEndpoint>> found = firstAnswering(rank(uid));
    if (!found || found->empty()) return std::nullopt;
    return found;
}

std::unique_ptr<AudioOutput> open(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                  std::function<void()> onChange) {
    const std::string& uid = device.uid;
    if (uid == nullUID) return std::make_unique<NullOutput>(render, user);
    if (uid.starts_with(backends::jackPrefix)) return backends::openJackOutput(device, render, user, std::move(onChange));
    if (uid.starts_with(backends::pipewirePrefix))
        return backends::openPipeWireOutput(device, render, user, std::move(onChange));
    if (uid.starts_with(backends::alsaPrefix)) return backends::openAlsaOutput(device, render, user, std::move(onChange));
    throw AppError(-1, "Couldn't open the output device");
}

}  // namespace AudioOutputs

}  // namespace qm
