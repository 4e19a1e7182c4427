// The playback stream on a PipeWire daemon: one pw_stream per output, planar
// float at the graph's rate, its channel positions those of the sink so that
// the session manager links it to the sink channel for channel.
#include "platform/AppError.h"
#include "platform/PipeWireClient.h"
#include "platform/RenderFigures.h"
#include "platform/SoundBackends.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>

namespace qm {

namespace {

using pipewire::Change;
using pipewire::Connection;
using pipewire::Graph;

// The most channels one stream carries: the daemon's own limit, within ours.
constexpr int kMaxChannels = std::min<int>(AudioOutput::maxChannels, SPA_AUDIO_MAX_CHANNELS);

bool isSinkClass(const std::string& c) { return c == "Audio/Sink" || c == "Audio/Duplex"; }

// The sinks of a graph as devices, the default sink first.
std::vector<OutputEndpoint> sinksOf(const Graph& g) {
    std::vector<OutputEndpoint> out;
    for (const auto& node : g.nodes) {
        if (!isSinkClass(node.mediaClass)) continue;
        OutputEndpoint e{std::string(backends::pipewirePrefix) + node.name, "PipeWire: " + node.description, {}, 0};
        for (const auto& port : g.portsOf(node.id, true)) {
            e.ports.push_back(port.name);
            e.positions.push_back(port.channel);
        }
        e.channels = static_cast<int>(e.ports.size());
        if (e.channels == 0) continue;  // not configured yet
        e.rate = g.rate;                 // a stream plays at the graph's rate
        if (node.name == g.defaultSink)
            out.insert(out.begin(), std::move(e));
        else
            out.push_back(std::move(e));
    }
    return out;
}

class PipeWireOutput final : public FiguredOutput {
public:
    PipeWireOutput(const OutputEndpoint& device, OutputRenderFn render, void* user, std::function<void()> onChange)
        : render_(render), user_(user), onChange_(std::move(onChange)), description_(device.name) {
        connection_ = Connection::open(pipewire::playbackName);
        if (!connection_) throw AppError(-1, "Couldn't open the output device");
        const Graph graph = connection_->graph();
        const std::string nodeName = backends::pipewireNodeName(device.uid);
        const pipewire::Node* sink = graph.nodeNamed(nodeName);
        if (!sink) throw AppError(-1, "Couldn't open the output device");
        sink_ = sink->id;
        const std::vector<pipewire::Port> ports = graph.portsOf(sink_, true);
        channels_ = static_cast<int>(ports.size());
        if (channels_ < 1) throw AppError(10, "Output device has no usable channels");
        if (channels_ > kMaxChannels)
            throw AppError(10, fmt::format("The output device has {} channels; at most {} can be played",
                                           channels_, kMaxChannels));
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32P;
        info.rate = static_cast<uint32_t>(graph.rate);
        info.channels = static_cast<uint32_t>(channels_);
        std::set<int> seen;
        for (int c = 0; c < channels_; ++c) {
            const int position = pipewire::channelPosition(ports[static_cast<size_t>(c)].channel);
            if (position < 0 || !seen.insert(position).second)
                throw AppError(10, "The output device doesn't say where its channels play");
            info.position[c] = static_cast<uint32_t>(position);
            sinkPorts_.insert(ports[static_cast<size_t>(c)].id);
        }
        rate_ = graph.rate;
        {
            Connection::Lock lock(*connection_);
            pw_properties* props = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
                PW_KEY_NODE_NAME, pipewire::playbackName, PW_KEY_APP_NAME, pipewire::playbackName,
                PW_KEY_TARGET_OBJECT, nodeName.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true",
                PW_KEY_STREAM_DONT_REMIX, "true", nullptr);
            stream_ = pw_stream_new(connection_->core(), pipewire::playbackName, props);
            if (!stream_) throw AppError(-1, "Couldn't open the output device");
            static const pw_stream_events events = [] {
                pw_stream_events e{};
                e.version = PW_VERSION_STREAM_EVENTS;
                e.state_changed = &PipeWireOutput::stateChanged;
                e.io_changed = &PipeWireOutput::ioChanged;
                e.process = &PipeWireOutput::process;
                return e;
            }();
            pw_stream_add_listener(stream_, &hook_, &events, this);
            uint8_t buffer[4096];
            spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
            const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
            const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                            PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_INACTIVE);
            if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
                destroyStream();
                throw AppError(-1, "Couldn't open the output device");
            }
            // The format is agreed on (or refused) before the stream is handed out.
            connection_->waitUntil([&] { return ready_ || !failure_.empty(); });
            if (!ready_) {
                const std::string why = failure_.empty() ? "Couldn't open the output device"
                                                         : "Couldn't open the output device: " + failure_;
                destroyStream();
                throw AppError(-1, why);
            }
        }
        // Reports reach us once nothing can fail any more; links made before
        // are counted here.
        connection_->onChange([this](Change change, uint32_t id, const Graph& g) { changed(change, id, g); });
        connection_->inspect([this](const Graph& g) { countLinks(g); });
    }

    ~PipeWireOutput() override {
        pause();
        connection_->onChange(nullptr);
        {
            Connection::Lock lock(*connection_);
            destroyStream();
        }
        connection_.reset();
    }

    int channels() const override { return channels_; }
    double sampleRate() const override { return rate_; }
    const std::string& description() const override { return description_; }
    bool isRunning() const override { return running_ && !connection_->lost(); }
    int64_t xruns() const override { return missed_.count(); }
    double period() const override {
        const uint32_t frames = periodFrames_.load();
        return static_cast<double>(frames ? frames : 1024) / rate_;
    }

    void start() override {
        if (running_) return;
        if (connection_->lost()) throw AppError(-1, "Couldn't open the output device");
        missed_.restart();
        rendering_.store(true, std::memory_order_release);
        Connection::Lock lock(*connection_);
        pw_stream_set_active(stream_, true);
        running_ = true;
    }

    void pause() override {
        if (!running_) return;
        rendering_.store(false, std::memory_order_release);
        {
            Connection::Lock lock(*connection_);
            pw_stream_set_active(stream_, false);
        }
        // A callback that still saw rendering_ set has finished once the
        // data loop ran this; any later one renders silence.
        connection_->waitForDataLoop();
        running_ = false;
    }

private:
    // Under the loop's lock.
    void destroyStream() {
        if (!stream_) return;
        spa_hook_remove(&hook_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }

    static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<PipeWireOutput*>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->ready_ = true;
            self->node_.store(pw_stream_get_node_id(self->stream_));
        } else if (state == PW_STREAM_STATE_ERROR) {
            self->failure_ = error ? error : "error";
            if (self->ready_) self->report();
        } else if (state == PW_STREAM_STATE_UNCONNECTED && self->ready_) {
            self->report();  // the sink went and the stream may not follow another
        }
        pw_thread_loop_signal(self->connection_->loop(), false);
    }

    static void ioChanged(void* data, uint32_t id, void* area, uint32_t) {
        if (id == SPA_IO_Position)
            static_cast<PipeWireOutput*>(data)->position_.store(static_cast<spa_io_position*>(area));
    }

    // Loop thread, under the graph's lock.
    void changed(Change change, uint32_t id, const Graph& g) {
        switch (change) {
            case Change::lost:
                report();
                return;
            case Change::nodeRemoved:
                if (id == sink_) report();
                return;
            case Change::nodeAdded: {
                // A sink that comes may be the one the output's owner asked for.
                const pipewire::Node* n = g.node(id);
                if (n && isSinkClass(n->mediaClass)) report();
                return;
            }
            case Change::portRemoved:
                if (sinkPorts_.count(id)) report();
                return;
            case Change::portAdded: {
                for (const auto& p : g.ports)
                    if (p.id == id && p.node == sink_ && p.input && !p.monitor) report();
                return;
            }
            case Change::linkAdded:
            case Change::linkRemoved:
                countLinks(g);
                return;
            case Change::rateChanged:
                return;  // the stream is converted to the graph's new rate
        }
    }

    // Whether the session manager has linked every channel to the sink.
    void countLinks(const Graph& g) {
        const uint32_t node = node_.load();
        const auto links =
            std::count_if(g.links.begin(), g.links.end(), [&](const pipewire::Link& l) { return l.outputNode == node; });
        linked_.store(node != 0 && links >= channels_, std::memory_order_release);
    }

    void report() {
        if (reported_.exchange(true)) return;
        if (onChange_) onChange_();
    }

    // The data loop's real-time thread.
    static void process(void* data) {
        auto* self = static_cast<PipeWireOutput*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
        if (!b) {
            self->missed_.noteEmpty();
            return;
        }
        self->render(b);
        pw_stream_queue_buffer(self->stream_, b);
    }

    void render(pw_buffer* b) {
        const int64_t wallStart = monotonicNanos();
        const int64_t cpuStart = figures_.begin();
        spa_buffer* buf = b->buffer;
        uint32_t frames = buf->datas[0].maxsize / sizeof(float);
        if (b->requested) frames = static_cast<uint32_t>(std::min<uint64_t>(frames, b->requested));
        const uint32_t n = std::min<uint32_t>(buf->n_datas, static_cast<uint32_t>(channels_));
        for (uint32_t c = 0; c < static_cast<uint32_t>(channels_); ++c) {
            float* plane = c < n ? static_cast<float*>(buf->datas[c].data) : nullptr;
            planes_[c] = plane;
            if (plane) {
                buf->datas[c].chunk->offset = 0;
                buf->datas[c].chunk->stride = sizeof(float);
                buf->datas[c].chunk->size = frames * sizeof(float);
            }
        }
        if (const spa_io_position* pos = position_.load(std::memory_order_relaxed))
            missed_.note(pos->clock.position, pos->clock.duration);
        // Until every channel is linked to the sink, a cycle would carry part
        // of the stream to part of the device: silence, and nothing taken.
        if (!rendering_.load(std::memory_order_acquire) || !linked_.load(std::memory_order_acquire)) {
            for (uint32_t c = 0; c < n; ++c)
                if (planes_[c]) std::memset(planes_[c], 0, frames * sizeof(float));
            return;
        }
        for (uint32_t off = 0; off < frames; off += kMaxRenderFrames) {
            const uint32_t chunk = std::min<uint32_t>(kMaxRenderFrames, frames - off);
            for (int c = 0; c < channels_; ++c) chunk_[c] = planes_[c] ? planes_[c] + off : scratch();
            render_(user_, chunk, chunk_, static_cast<uint32_t>(channels_));
        }
        periodFrames_.store(frames, std::memory_order_relaxed);
        figures_.end(cpuStart, monotonicNanos() - wallStart);
    }


    // Where the render function writes a channel the buffer lacks.
    float* scratch() { return scratchSamples_; }

    OutputRenderFn render_;
    void* user_;
    std::function<void()> onChange_;
    std::string description_;
    std::unique_ptr<Connection> connection_;
    pw_stream* stream_ = nullptr;
    spa_hook hook_{};
    uint32_t sink_ = 0;
    std::set<uint32_t> sinkPorts_;
    int channels_ = 0;
    double rate_ = 48000.0;
    bool running_ = false;
    // Set on the loop thread, read under the loop's lock.
    bool ready_ = false;
    std::string failure_;
    std::atomic<uint32_t> node_{0};
    std::atomic<bool> linked_{false};
    std::atomic<bool> rendering_{false};
    std::atomic<bool> reported_{false};
    std::atomic<spa_io_position*> position_{nullptr};
    pipewire::MissedCycles missed_;
    std::atomic<uint32_t> periodFrames_{0};
    float* planes_[kMaxChannels] = {};
    float* chunk_[kMaxChannels] = {};
    float scratchSamples_[kMaxRenderFrames] = {};
};

}  // namespace

namespace backends {

std::optional<std::vector<OutputEndpoint>> pipewireOutputs() {
    auto connection = pipewire::Connection::open(pipewire::playbackName);
    if (!connection) return std::nullopt;
    return sinksOf(connection->graph());
}

std::unique_ptr<AudioOutput> openPipeWireOutput(const OutputEndpoint& device, OutputRenderFn render, void* user,
                                                std::function<void()> onChange) {
    return std::make_unique<PipeWireOutput>(device, render, user, std::move(onChange));
}

}  // namespace backends

}  // namespace qm
