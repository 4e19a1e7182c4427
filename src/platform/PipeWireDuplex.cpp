// The live monitor on a PipeWire daemon: one filter node, "Quillmarsh
// Monitor", with an input port per source channel and an output port per
// sink channel, linked by us in order, so that the source's samples of a
// graph cycle reach the sink in that same cycle. The latency the processing
// adds is declared on the ports (the filter's latency is our own).
#include "platform/AppError.h"
#include "platform/PipeWireClient.h"
#include "platform/RenderFigures.h"
#include "platform/SoundBackends.h"

#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qm {

namespace {

using pipewire::Change;
using pipewire::Connection;
using pipewire::Graph;

bool isSourceClass(const std::string& c) {
    return c == "Audio/Source" || c == "Audio/Source/Virtual" || c == "Audio/Duplex" || c == "Stream/Output/Audio";
}

bool isOwn(const std::string& node) { return node == pipewire::playbackName || node == pipewire::monitorName; }

class PipeWireDuplex final : public AudioDuplex {
public:
    PipeWireDuplex(const SourceEndpoint& source, const OutputEndpoint& output, DuplexProcessFn process, void* user,
                   std::function<void(DuplexChange)> onChange)
        : process_(process), user_(user), onChange_(std::move(onChange)) {
        connection_ = Connection::open(pipewire::monitorName);
        if (!connection_) throw AppError(-1, "Couldn't open the monitor's client");
        const Graph graph = connection_->graph();
        const pipewire::Node* from = graph.nodeNamed(backends::pipewireNodeName(source.uid));
        const pipewire::Node* to = graph.nodeNamed(backends::pipewireNodeName(output.uid));
        if (!from || !to) throw AppError(-1, "Couldn't open the monitor's client");
        source_ = from->id;
        sink_ = to->id;
        sourcePorts_ = graph.portsOf(source_, false);
        sinkPorts_ = graph.portsOf(sink_, true);
        sourcePorts_.resize(std::min<size_t>(sourcePorts_.size(), maxInputs));
        sinkPorts_.resize(std::min<size_t>(sinkPorts_.size(), maxOutputs));
        rate_ = graph.rate;
        create();
        // The filter's ports are in the graph once the daemon answered.
        const Graph made = connection_->sync() ? connection_->graph() : Graph{};
        auto idOf = [&](const PortData* port) {
            for (const auto& p : made.ports)
                if (p.node == node_.load() && port->name == p.name) return p.id;
            return 0u;
        };
        for (const PortData* p : inPorts_) inIds_.push_back(idOf(p));
        for (const PortData* p : outPorts_) outIds_.push_back(idOf(p));
        Connection::Lock lock(*connection_);
        if (std::count(inIds_.begin(), inIds_.end(), 0u) || std::count(outIds_.begin(), outIds_.end(), 0u)) {
            destroyFilter();
            throw AppError(-1, "Couldn't open the monitor's client");
        }
        declareLatency();
        // Reports reach us once nothing can fail any more.
        connection_->onChange([this](Change change, uint32_t id, const Graph& g) { changed(change, id, g); });
    }

    ~PipeWireDuplex() override {
        pause();
        connection_->onChange(nullptr);
        {
            Connection::Lock lock(*connection_);
            destroyFilter();
        }
        connection_.reset();
    }

    int inputs() const override { return static_cast<int>(inPorts_.size()); }
    int outputs() const override { return static_cast<int>(outPorts_.size()); }
    double sampleRate() const override { return rate_; }
    bool isRunning() const override { return running_ && !connection_->lost(); }
    int64_t xruns() const override { return missed_.count(); }
    double longestRender() const override { return static_cast<double>(longestNanos_.load()) * 1e-9; }
    double period() const override {
        const uint32_t frames = periodFrames_.load();
        return static_cast<double>(frames ? frames : 1024) / rate_;
    }

    void setLatency(uint32_t frames) override {
        if (latency_.exchange(frames) == frames) return;
        Connection::Lock lock(*connection_);
        declareLatency();
    }

    void start() override {
        if (running_) return;
        if (connection_->lost()) throw AppError(-1, "The sound server is gone");
        missed_.restart();
        rendering_.store(true, std::memory_order_release);
        {
            Connection::Lock lock(*connection_);
            pw_filter_set_active(filter_, true);
            const uint32_t node = node_.load();
            for (size_t i = 0; i < inPorts_.size(); ++i) link(source_, sourcePorts_[i].id, node, inIds_[i]);
            for (size_t o = 0; o < outPorts_.size(); ++o) link(node, outIds_[o], sink_, sinkPorts_[o].id);
        }
        running_ = true;
        // Each link is in the graph once the daemon answered its creation.
        if (!connection_->sync() || !allLinked(connection_->graph())) {
            pause();
            throw AppError(-1, "Couldn't connect the source to the output device");
        }
    }

    void pause() override {
        if (!running_) return;
        rendering_.store(false, std::memory_order_release);
        {
            Connection::Lock lock(*connection_);
            for (pw_proxy* l : links_) pw_proxy_destroy(l);
            links_.clear();
            pw_filter_set_active(filter_, false);
        }
        connection_->waitForDataLoop();
        running_ = false;
    }

private:
    // A port's own data, made by the filter in zeroed memory.
    struct PortData {
        bool input;
        char name[16];
        spa_latency_info latency;  // what the graph declared on the port's far side
        bool hasLatency;
    };

    // The filter, its ports, and its node in the graph.
    void create() {
        Connection::Lock lock(*connection_);
        pw_properties* props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex", PW_KEY_MEDIA_ROLE, "DSP",
                              PW_KEY_NODE_NAME, pipewire::monitorName, PW_KEY_APP_NAME, pipewire::playbackName, nullptr);
        filter_ = pw_filter_new(connection_->core(), pipewire::monitorName, props);
        if (!filter_) throw AppError(-1, "Couldn't open the monitor's client");
        static const pw_filter_events events = [] {
            pw_filter_events e{};
            e.version = PW_VERSION_FILTER_EVENTS;
            e.state_changed = &PipeWireDuplex::stateChanged;
            e.param_changed = &PipeWireDuplex::paramChanged;
            e.process = &PipeWireDuplex::processCycle;
            return e;
        }();
        pw_filter_add_listener(filter_, &hook_, &events, this);
        auto addPort = [&](pw_direction direction, size_t index) {
            const std::string name = (direction == PW_DIRECTION_INPUT ? "in_" : "out_") + std::to_string(index + 1);
            auto* port = static_cast<PortData*>(pw_filter_add_port(
                filter_, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, sizeof(PortData),
                pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name.c_str(),
                                  nullptr),
                nullptr, 0));
            if (!port) throw AppError(-1, "Couldn't open the monitor's client");
            port->input = direction == PW_DIRECTION_INPUT;
            std::snprintf(port->name, sizeof(port->name), "%s", name.c_str());
            return port;
        };
        try {
            for (size_t i = 0; i < sourcePorts_.size(); ++i) inPorts_.push_back(addPort(PW_DIRECTION_INPUT, i));
            for (size_t o = 0; o < sinkPorts_.size(); ++o) outPorts_.push_back(addPort(PW_DIRECTION_OUTPUT, o));
        } catch (...) {
            destroyFilter();
            throw;
        }
        const auto flags = static_cast<pw_filter_flags>(PW_FILTER_FLAG_RT_PROCESS | PW_FILTER_FLAG_INACTIVE |
                                                        PW_FILTER_FLAG_CUSTOM_LATENCY);
        if (pw_filter_connect(filter_, flags, nullptr, 0) < 0) {
            destroyFilter();
            throw AppError(-1, "Couldn't open the monitor's client");
        }
        if (!connection_->waitUntil([&] { return node_.load() != 0 || failed_; }) || node_.load() == 0) {
            destroyFilter();
            throw AppError(-1, "Couldn't open the monitor's client");
        }
    }

    // Under the loop's lock.
    void link(uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort) {
        const std::string on = std::to_string(outNode), op = std::to_string(outPort), in = std::to_string(inNode),
                          ip = std::to_string(inPort);
        pw_properties* props =
            pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, on.c_str(), PW_KEY_LINK_OUTPUT_PORT, op.c_str(),
                              PW_KEY_LINK_INPUT_NODE, in.c_str(), PW_KEY_LINK_INPUT_PORT, ip.c_str(),
                              PW_KEY_OBJECT_LINGER, "false", nullptr);
        auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_->core(), "link-factory",
                                                                   PW_TYPE_INTERFACE_Link, PW_VERSION_LINK,
                                                                   &props->dict, 0));
        pw_properties_free(props);
        if (proxy) links_.push_back(proxy);
    }

    // Every port of the stream is linked: the filter's ports all appear in links.
    bool allLinked(const Graph& g) const {
        const uint32_t node = node_.load();
        const auto links = std::count_if(g.links.begin(), g.links.end(), [&](const pipewire::Link& l) {
            return l.inputNode == node || l.outputNode == node;
        });
        return node != 0 && static_cast<size_t>(links) >= inPorts_.size() + outPorts_.size();
    }

    // Under the loop's lock: what arrives on the inputs leaves on the outputs
    // `latency_` frames later, and the outputs feed the sink that much later
    // than the inputs' far side thinks. In the graph's terms: latency of the
    // output direction travels downstream and says how much lies upstream
    // (JACK's capture latency), of the input direction upstream, saying how
    // much lies downstream (playback latency). So the outputs declare what
    // the inputs heard of upstream, the inputs what the outputs heard of
    // downstream, each plus the processing's. A port whose far side the
    // graph has just told (`told`) declares again; the others only when what
    // comes through to them changed.
    void declareLatency(PortData* told = nullptr) {
        const uint32_t extra = latency_.load();
        auto combined = [](const std::vector<PortData*>& ports, spa_direction direction, uint32_t add) {
            spa_latency_info info{};
            spa_latency_info_combine_start(&info, direction);
            for (const PortData* p : ports)
                if (p->hasLatency && p->latency.direction == direction) spa_latency_info_combine(&info, &p->latency);
            spa_latency_info_combine_finish(&info);
            info.min_rate += add;
            info.max_rate += add;
            return info;
        };
        const spa_latency_info capture = combined(inPorts_, SPA_DIRECTION_OUTPUT, extra);
        const spa_latency_info playback = combined(outPorts_, SPA_DIRECTION_INPUT, extra);
        auto moved = [](std::optional<spa_latency_info>& last, spa_latency_info now) {
            const bool changed = !last || spa_latency_info_compare(&*last, &now) != 0;
            last = now;
            return changed;
        };
        const bool captureMoved = moved(declaredCapture_, capture);
        const bool playbackMoved = moved(declaredPlayback_, playback);
        // Each port declares both sides: the far side as the graph told it,
        // the other as it comes through the processing.
        auto declare = [&](const std::vector<PortData*>& ports, const spa_latency_info& through, bool all) {
            for (PortData* p : ports) {
                if (!all && p != told) continue;
                spa_latency_info far{};
                far.direction = through.direction == SPA_DIRECTION_INPUT ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT;
                if (p->hasLatency) far = p->latency;
                uint8_t buffer[1024];
                spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
                const spa_pod* params[2] = {spa_latency_build(&b, SPA_PARAM_Latency, &through),
                                            spa_latency_build(&b, SPA_PARAM_Latency, &far)};
                pw_filter_update_params(filter_, p, params, 2);
            }
        };
        declare(outPorts_, capture, captureMoved);
        declare(inPorts_, playback, playbackMoved);
    }

    // Under the loop's lock.
    void destroyFilter() {
        if (!filter_) return;
        for (pw_proxy* l : links_) pw_proxy_destroy(l);
        links_.clear();
        spa_hook_remove(&hook_);
        pw_filter_destroy(filter_);
        filter_ = nullptr;
    }

    static void stateChanged(void* data, pw_filter_state, pw_filter_state state, const char*) {
        auto* self = static_cast<PipeWireDuplex*>(data);
        if (state == PW_FILTER_STATE_PAUSED || state == PW_FILTER_STATE_STREAMING)
            self->node_.store(pw_filter_get_node_id(self->filter_));
        else if (state == PW_FILTER_STATE_ERROR)
            self->failed_ = true;
        pw_thread_loop_signal(self->connection_->loop(), false);
    }

    // Loop thread: the graph declared a latency on a port's far side.
    static void paramChanged(void* data, void* portData, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<PipeWireDuplex*>(data);
        auto* port = static_cast<PortData*>(portData);
        if (id != SPA_PARAM_Latency || !port || !param) return;
        spa_latency_info info{};
        if (spa_latency_parse(param, &info) < 0) return;
        // Inputs hear about the capture side (upstream, the output direction),
        // outputs about the playback side (downstream, the input direction).
        if (info.direction != (port->input ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT)) return;
        port->latency = info;
        port->hasLatency = true;
        self->declareLatency(port);
    }

    // Loop thread, under the graph's lock.
    void changed(Change change, uint32_t id, const Graph& g) {
        auto is = [&](const std::vector<pipewire::Port>& ports) {
            return std::any_of(ports.begin(), ports.end(), [&](const pipewire::Port& p) { return p.id == id; });
        };
        switch (change) {
            case Change::lost:
                report(DuplexChange::serverLost);
                return;
            case Change::rateChanged:
                if (g.rate != rate_) report(DuplexChange::rateChanged);
                return;
            case Change::nodeRemoved:
                // The output side wins when both went (one device).
                if (id == sink_) report(DuplexChange::outputLost);
                if (id == source_) report(DuplexChange::sourceLost);
                return;
            case Change::portRemoved:
                if (is(sinkPorts_)) report(DuplexChange::outputLost);
                if (is(sourcePorts_)) report(DuplexChange::sourceLost);
                return;
            case Change::linkAdded:
            case Change::linkRemoved:
                linked_.store(allLinked(g), std::memory_order_release);
                return;
            case Change::nodeAdded:
            case Change::portAdded:
                return;
        }
    }

    void report(DuplexChange change) {
        if (reported_.exchange(true)) return;
        if (onChange_) onChange_(change);
    }

    // The data loop's real-time thread.
    static void processCycle(void* data, spa_io_position* position) {
        auto* self = static_cast<PipeWireDuplex*>(data);
        const auto frames = static_cast<uint32_t>(position ? position->clock.duration : 0);
        if (frames == 0) return;
        self->cycle(frames, position);
    }

    void cycle(uint32_t frames, const spa_io_position* position) {
        missed_.note(position->clock.position, frames);
        const int64_t start = monotonicNanos();
        const size_t nin = inPorts_.size(), nout = outPorts_.size();
        for (size_t i = 0; i < nin; ++i) {
            auto* b = static_cast<const float*>(pw_filter_get_dsp_buffer(inPorts_[i], frames));
            inBufs_[i] = b ? b : silence_;
        }
        for (size_t o = 0; o < nout; ++o) {
            auto* b = static_cast<float*>(pw_filter_get_dsp_buffer(outPorts_[o], frames));
            outBufs_[o] = b ? b : discard_;
        }
        // Until every port is linked the cycles carry part of the source to
        // part of the device: silence instead.
        if (!rendering_.load(std::memory_order_acquire) || !linked_.load(std::memory_order_acquire)) {
            for (size_t o = 0; o < nout; ++o)
                if (outBufs_[o] != discard_) std::memset(outBufs_[o], 0, sizeof(float) * frames);
            return;
        }
        for (uint32_t off = 0; off < frames; off += kMaxRenderFrames) {
            const uint32_t chunk = std::min<uint32_t>(kMaxRenderFrames, frames - off);
            for (size_t i = 0; i < nin; ++i) inChunk_[i] = inBufs_[i] == silence_ ? silence_ : inBufs_[i] + off;
            for (size_t o = 0; o < nout; ++o) outChunk_[o] = outBufs_[o] == discard_ ? discard_ : outBufs_[o] + off;
            process_(user_, chunk, inChunk_, static_cast<uint32_t>(nin), outChunk_, static_cast<uint32_t>(nout));
        }
        const int64_t took = monotonicNanos() - start;
        if (took > longestNanos_.load(std::memory_order_relaxed)) longestNanos_.store(took, std::memory_order_relaxed);
        periodFrames_.store(frames, std::memory_order_relaxed);
    }

    DuplexProcessFn process_;
    void* user_;
    std::function<void(DuplexChange)> onChange_;
    std::unique_ptr<Connection> connection_;
    pw_filter* filter_ = nullptr;
    spa_hook hook_{};
    uint32_t source_ = 0, sink_ = 0;
    std::vector<pipewire::Port> sourcePorts_, sinkPorts_;
    std::vector<PortData*> inPorts_, outPorts_;  // owned by the filter
    std::vector<uint32_t> inIds_, outIds_;       // their ids in the graph
    std::vector<pw_proxy*> links_;
    double rate_ = 48000.0;
    bool running_ = false;
    bool failed_ = false;  // the loop thread's, read under the loop's lock
    std::atomic<uint32_t> node_{0};
    std::atomic<uint32_t> latency_{0};
    // What the ports declared last of each side; under the loop's lock.
    std::optional<spa_latency_info> declaredCapture_, declaredPlayback_;
    std::atomic<bool> linked_{false};
    std::atomic<bool> rendering_{false};
    std::atomic<bool> reported_{false};
    pipewire::MissedCycles missed_;
    std::atomic<int64_t> longestNanos_{0};
    std::atomic<uint32_t> periodFrames_{0};
    const float* inBufs_[maxInputs] = {};
    const float* inChunk_[maxInputs] = {};
    float* outBufs_[maxOutputs] = {};
    float* outChunk_[maxOutputs] = {};
    float silence_[kMaxRenderFrames] = {};
    float discard_[kMaxRenderFrames] = {};
};

}  // namespace

namespace backends {

std::optional<std::vector<SourceEndpoint>> pipewireSources() {
    auto connection = Connection::open(pipewire::monitorName);
    if (!connection) return std::nullopt;
    const Graph g = connection->graph();
    std::vector<SourceEndpoint> out;
    for (const auto& node : g.nodes) {
        if (!isSourceClass(node.mediaClass) || isOwn(node.name)) continue;
        SourceEndpoint e{std::string(pipewirePrefix) + node.name, node.description, {}, 0};
        for (const auto& port : g.portsOf(node.id, false)) e.ports.push_back(port.name);
        e.channels = static_cast<int>(e.ports.size());
        if (e.channels > 0) out.push_back(std::move(e));
    }
    return out;
}

std::unique_ptr<AudioDuplex> openPipeWireDuplex(const SourceEndpoint& source, const OutputEndpoint& output,
                                                DuplexProcessFn process, void* user,
                                                std::function<void(DuplexChange)> onChange) {
    return std::make_unique<PipeWireDuplex>(source, output, process, user, std::move(onChange));
}

}  // namespace backends

}  // namespace qm
