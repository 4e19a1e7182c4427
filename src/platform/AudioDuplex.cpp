#include "platform/AudioDuplex.h"

#include "platform/AppError.h"
#include "platform/JackClient.h"
#include "platform/SoundBackends.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace qm {

namespace {

class JackDuplex final : public AudioDuplex {
public:
    JackDuplex(const SourceEndpoint& source, const OutputEndpoint& output, DuplexProcessFn process, void* user,
               std::function<void(DuplexChange)> onChange)
        : source_(source), output_(output), process_(process), user_(user), onChange_(std::move(onChange)) {
        source_.ports.resize(std::min<size_t>(source_.ports.size(), maxInputs));
        output_.ports.resize(std::min<size_t>(output_.ports.size(), maxOutputs));
        jack_status_t status{};
        client_ = jackclient::openClient(jackclient::monitorName, &status);
        if (!client_) throw AppError(static_cast<int>(status), "Couldn't open the monitor's client");
        auto add = [this](const std::string& name, unsigned long flags) {
            jack_port_t* p = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
            if (!p) {
                jackclient::closeClient(client_, watch_);
                client_ = nullptr;
                throw AppError(-1, "Couldn't open the monitor's client");
            }
            return p;
        };
        for (size_t i = 0; i < source_.ports.size(); ++i)
            inPorts_.push_back(add("in_" + std::to_string(i + 1), JackPortIsInput));
        for (size_t o = 0; o < output_.ports.size(); ++o)
            outPorts_.push_back(add("out_" + std::to_string(o + 1), JackPortIsOutput));
        rate_ = static_cast<double>(jack_get_sample_rate(client_));
        jackclient::setStreamCallbacks(client_, watch_.get(), [](void* self) {
            static_cast<JackDuplex*>(self)->report(DuplexChange::serverLost);
        });
        jack_set_process_callback(client_, &JackDuplex::process, this);
        jack_set_latency_callback(client_, &JackDuplex::latency, watch_.get());
        jack_set_sample_rate_callback(client_, &JackDuplex::rateChanged, watch_.get());
        jack_set_port_registration_callback(client_, &JackDuplex::portRegistered, watch_.get());
        jack_set_client_registration_callback(client_, &JackDuplex::clientRegistered, watch_.get());
    }

    ~JackDuplex() override { jackclient::closeClient(client_, std::move(watch_)); }

    int inputs() const override { return static_cast<int>(inPorts_.size()); }
    int outputs() const override { return static_cast<int>(outPorts_.size()); }
    double sampleRate() const override { return rate_; }
    bool isRunning() const override { return running_ && !watch_->serverGone(); }
    int64_t xruns() const override { return watch_->xruns.load(); }
    double longestRender() const override { return static_cast<double>(longestUsecs_.load()) * 1e-6; }
    double period() const override {
        jack_nframes_t frames = periodFrames_.load();
        if (frames == 0 && client_) frames = jack_get_buffer_size(client_);
        return static_cast<double>(frames) / rate_;
    }

    void setLatency(uint32_t frames) override {
        if (latency_.exchange(frames) == frames) return;
        if (running_) jack_recompute_total_latencies(client_);
    }

    void start() override {
        if (running_) return;
        if (watch_->serverGone()) throw AppError(-1, "The sound server is gone");
        if (int rc = jack_activate(client_); rc != 0) throw AppError(rc, "Couldn't start the monitor's client");
        running_ = true;
        // Connections are lost on deactivation: made again at every start.
        auto connect = [this](const std::string& from, const std::string& to) {
            const int rc = jack_connect(client_, from.c_str(), to.c_str());
            if (rc != 0 && rc != EEXIST) {
                pause();
                throw AppError(rc, "Couldn't connect " + from + " to " + to);
            }
        };
        for (size_t i = 0; i < inPorts_.size(); ++i) connect(source_.ports[i], jack_port_name(inPorts_[i]));
        for (size_t o = 0; o < outPorts_.size(); ++o) connect(jack_port_name(outPorts_[o]), output_.ports[o]);
        connected_.store(true, std::memory_order_release);
    }

    void pause() override {
        if (!running_) return;
        jack_deactivate(client_);
        running_ = false;
        connected_.store(false, std::memory_order_release);
    }

private:
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackDuplex*>(arg);
        const jack_time_t start = jack_get_time();
        const size_t nin = self->inPorts_.size(), nout = self->outPorts_.size();
        for (size_t i = 0; i < nin; ++i)
            self->inBufs_[i] = static_cast<const float*>(jack_port_get_buffer(self->inPorts_[i], frames));
        for (size_t o = 0; o < nout; ++o)
            self->outBufs_[o] = static_cast<float*>(jack_port_get_buffer(self->outPorts_[o], frames));
        // Until every port is connected the cycles carry part of the source
        // to part of the device: silence instead.
        if (!self->connected_.load(std::memory_order_acquire)) {
            for (size_t o = 0; o < nout; ++o) std::memset(self->outBufs_[o], 0, sizeof(float) * frames);
            return 0;
        }
        for (uint32_t off = 0; off < frames; off += kMaxRenderFrames) {
            const uint32_t chunk = std::min<uint32_t>(kMaxRenderFrames, frames - off);
            for (size_t i = 0; i < nin; ++i) self->inChunk_[i] = self->inBufs_[i] + off;
            for (size_t o = 0; o < nout; ++o) self->outChunk_[o] = self->outBufs_[o] + off;
            self->process_(self->user_, chunk, self->inChunk_, static_cast<uint32_t>(nin), self->outChunk_,
                           static_cast<uint32_t>(nout));
        }
        const jack_time_t took = jack_get_time() - start;
        if (took > self->longestUsecs_.load(std::memory_order_relaxed))
            self->longestUsecs_.store(took, std::memory_order_relaxed);
        self->periodFrames_.store(frames, std::memory_order_relaxed);
        return 0;
    }

    // Our outputs carry what arrived on our inputs `latency_` frames late,
    // and our inputs feed the device that much earlier than it plays.
    static void latency(jack_latency_callback_mode_t mode, void* arg) {
        auto access = static_cast<jackclient::Watch*>(arg)->enter();
        auto* self = static_cast<JackDuplex*>(access.owner);
        if (!self) return;
        const jack_nframes_t extra = self->latency_.load();
        const bool capture = mode == JackCaptureLatency;
        const auto& from = capture ? self->inPorts_ : self->outPorts_;
        const auto& to = capture ? self->outPorts_ : self->inPorts_;
        jack_latency_range_t range{0, 0};
        bool any = false;
        for (jack_port_t* p : from) {
            jack_latency_range_t r{};
            jack_port_get_latency_range(p, mode, &r);
            range.min = any ? std::min(range.min, r.min) : r.min;
            range.max = any ? std::max(range.max, r.max) : r.max;
            any = true;
        }
        range.min += extra;
        range.max += extra;
        for (jack_port_t* p : to) jack_port_set_latency_range(p, mode, &range);
    }

    static int rateChanged(jack_nframes_t rate, void* arg) {
        auto access = static_cast<jackclient::Watch*>(arg)->enter();
        auto* self = static_cast<JackDuplex*>(access.owner);
        if (self && static_cast<double>(rate) != self->rate_) self->report(DuplexChange::rateChanged);
        return 0;
    }

    // Only the loss of a port the stream is connected to matters; the
    // stream's own ports and every other client's are ignored.
    static void portRegistered(jack_port_id_t, int registered, void* arg) {
        auto access = static_cast<jackclient::Watch*>(arg)->enter();
        if (auto* self = static_cast<JackDuplex*>(access.owner); self && !registered) self->checkPorts();
    }

    static void clientRegistered(const char*, int registered, void* arg) {
        auto access = static_cast<jackclient::Watch*>(arg)->enter();
        if (auto* self = static_cast<JackDuplex*>(access.owner); self && !registered) self->checkPorts();
    }

    // Looks the connected ports up by name (a local read of the server's
    // graph); the output side wins when both went (one device, or the
    // server's own client).
    void checkPorts() {
        auto gone = [this](const std::vector<std::string>& names) {
            return std::any_of(names.begin(), names.end(),
                               [this](const std::string& n) { return jack_port_by_name(client_, n.c_str()) == nullptr; });
        };
        if (gone(output_.ports)) {
            report(DuplexChange::outputLost);
        } else if (gone(source_.ports)) {
            report(DuplexChange::sourceLost);
        }
    }

    void report(DuplexChange change) {
        if (reported_.exchange(true)) return;
        if (onChange_) onChange_(change);
    }

    SourceEndpoint source_;
    OutputEndpoint output_;
    DuplexProcessFn process_;
    void* user_;
    std::function<void(DuplexChange)> onChange_;
    // What the client's notification callbacks reach us through; it may
    // outlive us with the client (see jackclient::closeClient).
    std::shared_ptr<jackclient::Watch> watch_ = std::make_shared<jackclient::Watch>(this);
    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> inPorts_, outPorts_;
    const float* inBufs_[maxInputs] = {};
    const float* inChunk_[maxInputs] = {};
    float* outBufs_[maxOutputs] = {};
    float* outChunk_[maxOutputs] = {};
    double rate_ = 0;
    bool running_ = false;
    std::atomic<jack_nframes_t> latency_{0};
    std::atomic<bool> connected_{false};
    std::atomic<bool> reported_{false};
    std::atomic<jack_time_t> longestUsecs_{0};
    std::atomic<jack_nframes_t> periodFrames_{0};
};

}  // namespace

namespace backends {

std::optional<std::vector<SourceEndpoint>> jackSources() {
    jack_client_t* c = jackclient::openClient(jackclient::playbackName, nullptr);
    if (!c) return std::nullopt;
    std::vector<SourceEndpoint> out;
    for (auto& group : jackclient::ports(c, JackPortIsOutput)) {
        if (jackclient::isOwnClient(group.client)) continue;
        const int n = static_cast<int>(group.ports.size());
        out.push_back(SourceEndpoint{jackPrefix + group.client, group.client, std::move(group.ports), n});
    }
    jackclient::closeClient(c);
    return out;
}

std::unique_ptr<AudioDuplex> openJackDuplex(const SourceEndpoint& source, const OutputEndpoint& output,
                                            DuplexProcessFn process, void* user,
                                            std::function<void(DuplexChange)> onChange) {
    return std::make_unique<JackDuplex>(source, output, process, user, std::move(onChange));
}

}  // namespace backends

namespace AudioDuplexes {

std::vector<SourceEndpoint> sources() {
    std::optional<std::vector<SourceEndpoint>> found = backends::jackSources();
    if (!found) found = backends::pipewireSources();
    return found ? std::move(*found) : std::vector<SourceEndpoint>{};
}

bool supports(const OutputEndpoint& output) {
    return !output.ports.empty() &&
           (output.uid.starts_with(backends::jackPrefix) || output.uid.starts_with(backends::pipewirePrefix));
}

std::unique_ptr<AudioDuplex> open(const SourceEndpoint& source, const OutputEndpoint& output,
                                  DuplexProcessFn process, void* user, std::function<void(DuplexChange)> onChange) {
    if (!supports(output)) throw AppError(-1, "The output device isn't available");
    const bool jack = output.uid.starts_with(backends::jackPrefix);
    if (!source.uid.starts_with(jack ? backends::jackPrefix : backends::pipewirePrefix))
        throw AppError(-1, "Couldn't combine the source and output devices");
    return jack ? backends::openJackDuplex(source, output, process, user, std::move(onChange))
                : backends::openPipeWireDuplex(source, output, process, user, std::move(onChange));
}

}  // namespace AudioDuplexes

}  // namespace qm
