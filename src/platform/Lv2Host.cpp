#include "platform/Lv2Host.h"

#include "platform/AppError.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/patch/patch.h>
#include <lv2/port-props/port-props.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <semaphore.h>
#include <suil/suil.h>
#include <X11/Xlib.h>

#include <fmt/format.h>

#include <limits>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace qm {

namespace {

constexpr int kPluginUnavailable = 80;
constexpr uint32_t kAtomCapacity = 8192;
constexpr size_t kRingBytes = size_t(1) << 16;
constexpr size_t kMessageBytes = size_t(1) << 14;
constexpr int kSettleBlocks = 32;

// A node that frees itself.
struct Node {
    LilvNode* n = nullptr;
    explicit Node(LilvNode* node) : n(node) {}
    ~Node() { lilv_node_free(n); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    operator const LilvNode*() const { return n; }
    std::string text() const { return n ? lilv_node_as_string(n) : std::string(); }
};

enum class PortKind { audio, control, atom, cv, other };

// The LV2 classes the add menu groups by, most specific first: an EQ is a
// filter too, and a reverb a delay.
constexpr std::pair<const char*, Lv2Category> kCategories[] = {
    {LV2_CORE__EQPlugin, Lv2Category::eq},
    {LV2_CORE__ReverbPlugin, Lv2Category::reverb},
    {LV2_CORE__FilterPlugin, Lv2Category::filter},
    {LV2_CORE__DynamicsPlugin, Lv2Category::dynamics},
    {LV2_CORE__DelayPlugin, Lv2Category::delay},
    {LV2_CORE__DistortionPlugin, Lv2Category::distortion},
    {LV2_CORE__ModulatorPlugin, Lv2Category::modulation},
    {LV2_CORE__SpatialPlugin, Lv2Category::spatial},
    {LV2_CORE__SpectralPlugin, Lv2Category::spectral},
    {LV2_CORE__UtilityPlugin, Lv2Category::utility},
};

// State paths are kept absolute: a file chosen for a plug-in is where the
// user keeps it.
char* keepPath(LV2_State_Map_Path_Handle, const char* path) { return strdup(path); }
void freePath(LV2_State_Free_Path_Handle, char* path) { std::free(path); }

struct World {
    LilvWorld* world = lilv_world_new();
    // The URID map may be called by plug-ins from any non-real-time thread.
    std::mutex lock;
    std::unordered_map<std::string, LV2_URID> ids;
    std::deque<std::string> uris;
    LV2_URID_Map map{this, &World::mapURI};
    LV2_URID_Unmap unmap{this, &World::unmapURI};
    LV2_State_Map_Path mapPath{nullptr, &keepPath, &keepPath};
    LV2_State_Free_Path freePath{nullptr, &qm::freePath};

    LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* control = lilv_new_uri(world, LV2_CORE__ControlPort);
    LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);
    LilvNode* cv = lilv_new_uri(world, LV2_CORE__CVPort);
    LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
    LilvNode* output = lilv_new_uri(world, LV2_CORE__OutputPort);
    LilvNode* optional = lilv_new_uri(world, LV2_CORE__connectionOptional);
    LilvNode* toggled = lilv_new_uri(world, LV2_CORE__toggled);
    LilvNode* integer = lilv_new_uri(world, LV2_CORE__integer);
    LilvNode* enumeration = lilv_new_uri(world, LV2_CORE__enumeration);
    LilvNode* logarithmic = lilv_new_uri(world, LV2_PORT_PROPS__logarithmic);
    LilvNode* doapName = lilv_new_uri(world, "http://usefulinc.com/ns/doap#name");
    LilvNode* designation = lilv_new_uri(world, LV2_CORE__designation);
    LilvNode* controlDesignation = lilv_new_uri(world, LV2_CORE__control);
    LilvNode* writable = lilv_new_uri(world, LV2_PATCH__writable);
    LilvNode* range = lilv_new_uri(world, "http://www.w3.org/2000/01/rdf-schema#range");
    LilvNode* label = lilv_new_uri(world, "http://www.w3.org/2000/01/rdf-schema#label");
    LilvNode* pathType = lilv_new_uri(world, LV2_ATOM__Path);
    LilvNode* defaultState = lilv_new_uri(world, LV2_STATE__loadDefaultState);
    LilvNode* stateInterface = lilv_new_uri(world, LV2_STATE__interface);
    LilvNode* threadSafeRestore = lilv_new_uri(world, LV2_STATE__threadSafeRestore);
    std::vector<std::string> provided{LV2_URID__map,
                                      LV2_URID__unmap,
                                      LV2_OPTIONS__options,
                                      LV2_BUF_SIZE__boundedBlockLength,
                                      LV2_WORKER__schedule,
                                      LV2_STATE__mapPath,
                                      LV2_STATE__freePath,
                                      LV2_STATE__loadDefaultState,
                                      LV2_CORE__inPlaceBroken,
                                      LV2_CORE__hardRTCapable};
    std::vector<Lv2Plugin> offered;

    World() {
        lilv_world_load_all(world);
        const LilvPlugins* all = lilv_world_get_all_plugins(world);
        LILV_FOREACH(plugins, i, all) {
            if (auto p = describe(lilv_plugins_get(all, i))) offered.push_back(std::move(*p));
        }
    }
    ~World() {
        for (LilvNode* n : {audio, control, atom, cv, input, output, optional, toggled, integer, enumeration,
                            logarithmic, doapName, designation, controlDesignation, writable, range, label,
                            pathType, defaultState, stateInterface, threadSafeRestore})
            lilv_node_free(n);
        lilv_world_free(world);
    }

    static LV2_URID mapURI(LV2_URID_Map_Handle h, const char* uri) {
        auto* w = static_cast<World*>(h);
        std::lock_guard g(w->lock);
        auto [it, added] = w->ids.try_emplace(uri, static_cast<LV2_URID>(w->uris.size() + 1));
        if (added) w->uris.emplace_back(uri);
        return it->second;
    }
    static const char* unmapURI(LV2_URID_Unmap_Handle h, LV2_URID id) {
        auto* w = static_cast<World*>(h);
        std::lock_guard g(w->lock);
        return id >= 1 && id <= w->uris.size() ? w->uris[id - 1].c_str() : nullptr;
    }
    LV2_URID id(const char* uri) { return mapURI(this, uri); }

    PortKind kind(const LilvPlugin* p, const LilvPort* port) const {
        if (lilv_port_is_a(p, port, audio)) return PortKind::audio;
        if (lilv_port_is_a(p, port, control)) return PortKind::control;
        if (lilv_port_is_a(p, port, atom)) return PortKind::atom;
        if (lilv_port_is_a(p, port, cv)) return PortKind::cv;
        return PortKind::other;
    }

    const LilvPlugin* plugin(const std::string& uri) const {
        Node node(lilv_new_uri(world, uri.c_str()));
        return lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node);
    }

    // The first of kCategories among the plug-in's class and its ancestors.
    Lv2Category category(const LilvPlugin* p) const {
        const LilvPluginClasses* classes = lilv_world_get_plugin_classes(world);
        std::vector<std::string> chain;
        for (const LilvPluginClass* c = lilv_plugin_get_class(p); c && chain.size() < 16;) {
            chain.emplace_back(lilv_node_as_uri(lilv_plugin_class_get_uri(c)));
            const LilvNode* parent = lilv_plugin_class_get_parent_uri(c);
            c = parent ? lilv_plugin_classes_get_by_uri(classes, parent) : nullptr;
        }
        for (const auto& [uri, category] : kCategories)
            if (std::find(chain.begin(), chain.end(), uri) != chain.end()) return category;
        return Lv2Category::other;
    }

    std::optional<Lv2Plugin> describe(const LilvPlugin* p) {
        LilvNodes* required = lilv_plugin_get_required_features(p);
        bool served = true;
        LILV_FOREACH(nodes, i, required) {
            const std::string f = lilv_node_as_uri(lilv_nodes_get(required, i));
            served = served && std::find(provided.begin(), provided.end(), f) != provided.end();
        }
        lilv_nodes_free(required);
        if (!served) return std::nullopt;
        Lv2Plugin d;
        for (uint32_t i = 0; i < lilv_plugin_get_num_ports(p); ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
            const PortKind k = kind(p, port);
            if (k == PortKind::other && !lilv_port_has_property(p, port, optional)) return std::nullopt;
            if (k == PortKind::audio) {
                if (lilv_port_is_a(p, port, input)) ++d.audioInputs;
                if (lilv_port_is_a(p, port, output)) ++d.audioOutputs;
            }
        }
        if (d.audioInputs < 1 || d.audioOutputs < 1) return std::nullopt;
        d.uri = lilv_node_as_uri(lilv_plugin_get_uri(p));
        d.name = Node(lilv_plugin_get_name(p)).text();
        d.manufacturer = Node(lilv_plugin_get_author_name(p)).text();
        if (d.manufacturer.empty()) {
            Node project(lilv_plugin_get_project(p));
            if (project.n) d.manufacturer = Node(lilv_world_get(world, project, doapName, nullptr)).text();
        }
        d.category = category(p);
        return d;
    }

    std::vector<Lv2FileParameter> fileParameters(const LilvPlugin* p) {
        std::vector<Lv2FileParameter> files;
        LilvNodes* params = lilv_world_find_nodes(world, lilv_plugin_get_uri(p), writable, nullptr);
        LILV_FOREACH(nodes, i, params) {
            const LilvNode* param = lilv_nodes_get(params, i);
            if (!lilv_node_is_uri(param) || !lilv_world_ask(world, param, range, pathType)) continue;
            std::string name = Node(lilv_world_get(world, param, label, nullptr)).text();
            files.push_back({lilv_node_as_uri(param), name.empty() ? lilv_node_as_uri(param) : name});
        }
        lilv_nodes_free(params);
        return files;
    }
};

World& world() {
    static World w;
    return w;
}

bool finite(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7f800000u) != 0x7f800000u;
}

// A single-producer, single-consumer ring of tagged messages: a writer
// puts a whole message or nothing, a reader takes one at a time into its
// own buffer. Neither allocates.
class MessageRing {
public:
    explicit MessageRing(size_t capacity) : data_(capacity) {}

    bool write(uint32_t tag, uint32_t size, const void* body) {
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t tail = tail_.load(std::memory_order_acquire);
        const uint32_t header[2] = {tag, size};
        if (data_.size() - (head - tail) < sizeof header + size) return false;
        copyIn(head, header, sizeof header);
        copyIn(head + sizeof header, body, size);
        head_.store(head + sizeof header + size, std::memory_order_release);
        return true;
    }
    // The next message into `body` (room for `capacity` bytes); false when
    // there is none. A message longer than the room is dropped.
    bool read(uint32_t& tag, uint32_t& size, uint8_t* body, size_t capacity) {
        for (;;) {
            const size_t tail = tail_.load(std::memory_order_relaxed);
            const size_t head = head_.load(std::memory_order_acquire);
            uint32_t header[2];
            if (head - tail < sizeof header) return false;
            copyOut(tail, header, sizeof header);
            const bool fits = header[1] <= capacity;
            if (fits) copyOut(tail + sizeof header, body, header[1]);
            tail_.store(tail + sizeof header + header[1], std::memory_order_release);
            if (!fits) continue;
            tag = header[0];
            size = header[1];
            return true;
        }
    }
    bool empty() const {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

private:
    void copyIn(size_t at, const void* from, size_t n) {
        const auto* src = static_cast<const uint8_t*>(from);
        for (size_t i = 0; i < n; ++i) data_[(at + i) % data_.size()] = src[i];
    }
    void copyOut(size_t at, void* to, size_t n) const {
        auto* dst = static_cast<uint8_t*>(to);
        for (size_t i = 0; i < n; ++i) dst[i] = data_[(at + i) % data_.size()];
    }

    std::vector<uint8_t> data_;
    std::atomic<size_t> head_{0}, tail_{0};
};

}  // namespace

// What instances share with their unit: the control values, the bypass and
// the failure flag.
struct Lv2Unit::Shared {
    std::unique_ptr<std::atomic<float>[]> values;
    std::atomic<bool> bypass{false};
    std::atomic<bool> failed{false};
    // What the run thread reads the plug-in's notifications by: the file
    // parameters' URIDs (by parameter) and the message vocabulary.
    std::vector<LV2_URID> fileIds;
    // The plug-in has a state interface, which it may restore while it runs.
    bool stateful = false, restoresLive = false;
    // The plug-in's worker refused the path of a patch:Set: it is given
    // files through its state only.
    std::atomic<bool> byState{false};
    LV2_URID object = 0, blank = 0, path = 0, set = 0, put = 0, property = 0, value = 0, body = 0;
};

std::vector<Lv2Plugin> Lv2Host::plugins() { return world().offered; }

const Lv2Plugin* Lv2Host::find(const std::string& uri) {
    for (const auto& p : world().offered)
        if (p.uri == uri) return &p;
    return nullptr;
}

bool Lv2Host::fits(const Lv2Plugin& plugin, int channels) {
    if (channels < 1) return false;
    return (plugin.audioInputs == channels && plugin.audioOutputs == channels) ||
           (plugin.audioInputs == 1 && plugin.audioOutputs == 1);
}

// One instance with its port buffers, features and options.
struct Lv2Instances::Instance {
    Lv2Instances* owner = nullptr;
    uint32_t number = 0;  // among the owner's instances
    LilvInstance* instance = nullptr;
    std::vector<float> ports;             // every control port's value, by port index
    std::vector<uint32_t> controlInputs;  // as Lv2Unit::controls_
    std::vector<uint32_t> audioIn, audioOut;
    struct Atom {
        uint32_t index;
        bool input;
        std::vector<uint64_t> memory;  // aligned for the atom header
    };
    std::vector<Atom> atoms;
    int controlAtom = -1;  // the atom input that takes messages to the plug-in
    std::vector<float> cvSilence, cvSink;
    int64_t latencyPort = -1;
    const LV2_Worker_Interface* work = nullptr;

    int32_t minBlock = 1, maxBlock = static_cast<int32_t>(kMaxRenderFrames), nominalBlock = 0;
    float rate = 0.0f;
    LV2_Options_Option options[5]{};
    LV2_Worker_Schedule schedule{};
    LV2_Feature mapFeature{}, unmapFeature{}, optionsFeature{}, boundedFeature{}, scheduleFeature{},
        mapPathFeature{}, freePathFeature{}, defaultStateFeature{}, threadSafeRestoreFeature{};
    const LV2_Feature* features[9]{};
    // The features again, with state:threadSafeRestore: for a restore
    // while the instance runs on another thread.
    const LV2_Feature* liveRestoreFeatures[10]{};

    ~Instance() {
        if (instance) {
            lilv_instance_deactivate(instance);
            lilv_instance_free(instance);
        }
    }

    LV2_URID sequence = 0, chunk = 0, urid = 0;

    // Every block: inputs hold no event, outputs offer their whole capacity.
    void resetAtoms() {
        for (auto& a : atoms) {
            auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(a.memory.data());
            if (a.input) {
                seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
                seq->atom.type = sequence;
                seq->body.unit = 0;
                seq->body.pad = 0;
            } else {
                seq->atom.size = kAtomCapacity - sizeof(LV2_Atom);
                seq->atom.type = chunk;
            }
        }
    }
    LV2_Handle handle() const { return lilv_instance_get_handle(instance); }

    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data);
    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data);
};

// The worker of one set of instances: requests from their run() to a
// thread of its own, responses back to the next run(). Until the instances
// go live, work is done where it is asked for.
struct Lv2Instances::Worker {
    MessageRing requests{kRingBytes}, responses{kRingBytes};
    // Messages from the main thread to the plug-in's control input, and
    // the run thread's copy of them as events for one block.
    MessageRing messages{kMessageBytes};
    std::vector<uint8_t> messageBody = std::vector<uint8_t>(kMessageBytes);
    // The channels of one piece of a block longer than the instances take.
    std::vector<const float*> inPiece;
    std::vector<float*> outPiece;
    // Work a plug-in asks for from a restore on the main thread while the
    // instances run: to the worker thread as well, through a ring of its own.
    MessageRing restoreRequests{kRingBytes};
    // What the plug-in reports of its file parameters (tag: the instance;
    // body: the parameter's index, then the path), from the run thread to
    // the main thread.
    MessageRing reports{kMessageBytes};
    std::vector<uint8_t> workBody = std::vector<uint8_t>(kRingBytes);      // the worker thread's
    std::vector<uint8_t> responseBody = std::vector<uint8_t>(kRingBytes);  // the run thread's
    std::vector<uint8_t> reportBody = std::vector<uint8_t>(kMessageBytes);  // the run thread's
    // The files last given as patch:Set, and the instances whose next work
    // result (from run()) says whether they took them: one that refuses is
    // given them through its state instead. Main thread and worker thread.
    std::mutex fileLock;
    Lv2State offered;
    std::vector<char> awaiting;
    // Instances to be given the files through their state once the block
    // is over (work that ran where it was asked for refused them).
    std::vector<char> refusedNow;
    bool refusals = false;
    // False while the instances are set up: work runs where it is asked for.
    bool threaded = false;
    // The last block handed the plug-in messages or work answers (settle()).
    bool delivered = false;
    sem_t wake{};
    std::atomic<bool> quit{false};
    std::thread thread;

    Worker() { sem_init(&wake, 0, 0); }
    ~Worker() {
        stop();
        sem_destroy(&wake);
    }
    void stop() {
        if (!thread.joinable()) return;
        quit.store(true);
        sem_post(&wake);
        thread.join();
    }
};

LV2_Worker_Status Lv2Instances::Instance::respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
    auto* in = static_cast<Instance*>(h);
    return in->owner->worker_->responses.write(in->number, size, data) ? LV2_WORKER_SUCCESS
                                                                       : LV2_WORKER_ERR_NO_SPACE;
}

namespace {
// Set on the main thread while it restores a plug-in's state into running
// instances: work the plug-in schedules then comes from there, not from run().
thread_local bool tRestoringLive = false;
// Set on a worker thread: work asked for there runs at once.
thread_local bool tWorkerThread = false;
}  // namespace

// Whether `in` took the files offered, by the result of its first work
// after them (scheduled by its run()).
void Lv2Instances::verdict(Instance& in, int status) {
    Worker& w = *worker_;
    std::lock_guard g(w.fileLock);
    if (in.number >= w.awaiting.size() || !w.awaiting[in.number]) return;
    w.awaiting[in.number] = 0;
    if (status == LV2_WORKER_SUCCESS || !shared_->stateful) return;
    shared_->byState.store(true);
    if (!w.threaded) {
        w.refusedNow[in.number] = 1;
        w.refusals = true;
    } else if (shared_->restoresLive) {
        restore(in, w.offered, true);
    }
}

LV2_Worker_Status Lv2Instances::Instance::scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size,
                                                       const void* data) {
    auto* in = static_cast<Instance*>(h);
    Worker& w = *in->owner->worker_;
    if (!in->work) return LV2_WORKER_ERR_UNKNOWN;
    if (!w.threaded || tWorkerThread) {
        const LV2_Worker_Status status = in->work->work(in->handle(), &Instance::respond, in, size, data);
        if (!w.threaded) in->owner->verdict(*in, status);
        return status;
    }
    MessageRing& ring = tRestoringLive ? w.restoreRequests : w.requests;
    if (!ring.write(in->number, size, data)) return LV2_WORKER_ERR_NO_SPACE;
    sem_post(&w.wake);
    return LV2_WORKER_SUCCESS;
}

Lv2Instances::Lv2Instances() : worker_(std::make_unique<Worker>()) {}

Lv2Instances::~Lv2Instances() {
    // The worker goes first: no work may run on an instance being freed.
    worker_->stop();
    worker_.reset();
    instances_.clear();
}

void Lv2Instances::live() {
    if (live_) return;
    live_ = true;
    worker_->threaded = true;
    const bool works = std::any_of(instances_.begin(), instances_.end(), [](const auto& in) { return in->work; });
    if (!works) return;
    worker_->thread = std::thread([this] {
        tWorkerThread = true;
        Worker& w = *worker_;
        for (;;) {
            sem_wait(&w.wake);
            if (w.quit.load()) return;
            uint32_t tag = 0, size = 0;
            while (w.restoreRequests.read(tag, size, w.workBody.data(), w.workBody.size())) {
                if (tag >= instances_.size()) continue;
                Instance& in = *instances_[tag];
                in.work->work(in.handle(), &Instance::respond, &in, size, w.workBody.data());
            }
            while (w.requests.read(tag, size, w.workBody.data(), w.workBody.size())) {
                if (tag >= instances_.size()) continue;
                Instance& in = *instances_[tag];
                verdict(in, in.work->work(in.handle(), &Instance::respond, &in, size, w.workBody.data()));
            }
        }
    });
}

void Lv2Instances::send(const std::vector<uint8_t>& message) {
    // The first instance reads the ring and hands each message to all.
    if (!instances_.empty()) worker_->messages.write(0, static_cast<uint32_t>(message.size()), message.data());
}

void Lv2Instances::process(const float* const* in, float* const* out, uint32_t frames) noexcept {
    frames = std::min(frames, kMaxRenderFrames);
    if (frames <= block_) {
        run(in, out, frames, false);
        return;
    }
    // Longer blocks than the instances were made for go in pieces.
    Worker& w = *worker_;
    for (uint32_t done = 0; done < frames; done += block_) {
        for (int c = 0; c < channels_; ++c) {
            w.inPiece[size_t(c)] = in[c] + done;
            w.outPiece[size_t(c)] = out[c] + done;
        }
        run(w.inPiece.data(), w.outPiece.data(), std::min(block_, frames - done), false);
    }
}

void Lv2Instances::run(const float* const* in, float* const* out, uint32_t frames, bool settling) noexcept {
    frames = std::min(frames, kMaxRenderFrames);
    const int channels = channels_;
    auto copyThrough = [&] {
        for (int c = 0; c < channels; ++c) std::memcpy(out[c], in[c], frames * sizeof(float));
    };
    Lv2Unit::Shared& shared = *shared_;
    if (instances_.empty() || (!settling && shared.bypass.load(std::memory_order_relaxed))) {
        copyThrough();
        return;
    }
    // Messages from the main thread, to every instance's control input.
    uint32_t pending = 0;
    {
        uint32_t tag = 0, size = 0;
        size_t used = 0;
        while (used + sizeof(LV2_Atom_Event) < worker_->messageBody.size() &&
               worker_->messages.read(tag, size, worker_->messageBody.data() + used + sizeof(int64_t),
                              worker_->messageBody.size() - used - sizeof(int64_t))) {
            // An event: its frame (0), then the message atom.
            const int64_t atFrame = 0;
            std::memcpy(worker_->messageBody.data() + used, &atFrame, sizeof atFrame);
            used += lv2_atom_pad_size(static_cast<uint32_t>(sizeof(int64_t) + size));
            ++pending;
        }
    }
    const size_t count = instances_.size();
    for (size_t n = 0; n < count; ++n) {
        Instance& inst = *instances_[n];
        for (size_t k = 0; k < inst.controlInputs.size(); ++k)
            inst.ports[inst.controlInputs[k]] = shared.values[k].load(std::memory_order_relaxed);
        inst.resetAtoms();
        if (pending && inst.controlAtom >= 0) {
            auto* seq = reinterpret_cast<LV2_Atom_Sequence*>(inst.atoms[size_t(inst.controlAtom)].memory.data());
            const uint8_t* at = worker_->messageBody.data();
            for (uint32_t m = 0; m < pending; ++m) {
                const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(at);
                lv2_atom_sequence_append_event(seq, kAtomCapacity - sizeof(LV2_Atom), ev);
                at += lv2_atom_pad_size(static_cast<uint32_t>(sizeof(LV2_Atom_Event) + ev->body.size));
            }
        }
        if (count == 1) {
            for (size_t c = 0; c < inst.audioIn.size(); ++c)
                lilv_instance_connect_port(inst.instance, inst.audioIn[c], const_cast<float*>(in[c]));
            for (size_t c = 0; c < inst.audioOut.size(); ++c)
                lilv_instance_connect_port(inst.instance, inst.audioOut[c], out[c]);
        } else {
            lilv_instance_connect_port(inst.instance, inst.audioIn[0], const_cast<float*>(in[n]));
            lilv_instance_connect_port(inst.instance, inst.audioOut[0], out[n]);
        }
        lilv_instance_run(inst.instance, frames);
    }
    Worker& w = *worker_;
    if (!shared.fileIds.empty())
        for (size_t n = 0; n < count; ++n) report(*instances_[n]);
    // The worker's answers, then the end of the cycle.
    bool answered = false;
    uint32_t tag = 0, size = 0;
    while (w.responses.read(tag, size, w.responseBody.data(), w.responseBody.size())) {
        if (tag < count && instances_[tag]->work)
            instances_[tag]->work->work_response(instances_[tag]->handle(), size, w.responseBody.data());
        answered = true;
    }
    w.delivered = pending > 0 || answered;
    // Not yet live, on the main thread: an instance that refused the files
    // gets them through its state, now that its block is over.
    if (!w.threaded && w.refusals) {
        w.refusals = false;
        for (size_t n = 0; n < count; ++n) {
            if (!w.refusedNow[n]) continue;
            w.refusedNow[n] = 0;
            restore(*instances_[n], w.offered, false);
        }
        w.delivered = true;
    }
    for (const auto& inst : instances_)
        if (inst->work && inst->work->end_run) inst->work->end_run(inst->handle());

    const Instance& first = *instances_.front();
    if (first.latencyPort >= 0) {
        const float l = first.ports[size_t(first.latencyPort)];
        latency_.store(finite(l) && l > 0.0f ? static_cast<uint32_t>(l) : 0u, std::memory_order_relaxed);
    }
    for (int c = 0; c < channels; ++c) {
        for (uint32_t t = 0; t < frames; ++t) {
            if (!finite(out[c][t])) {
                copyThrough();
                if (settling) return;
                shared.bypass.store(true, std::memory_order_relaxed);
                shared.failed.store(true, std::memory_order_release);
                return;
            }
        }
    }
}

// Silent blocks of the stream's length (a convolver set up for it stays
// so) until the plug-in has taken its messages and its work answers: it is
// ready, and it has reported its latency, before the stream asks for it.
void Lv2Instances::settle() {
    std::vector<std::vector<float>> silence(size_t(channels_), std::vector<float>(block_, 0.0f));
    std::vector<std::vector<float>> sink = silence;
    std::vector<const float*> in;
    std::vector<float*> out;
    for (int c = 0; c < channels_; ++c) {
        in.push_back(silence[size_t(c)].data());
        out.push_back(sink[size_t(c)].data());
    }
    // A plug-in takes what it was handed in the block after: one that set
    // up a new impulse response reports its latency then.
    for (int block = 0; block < kSettleBlocks; ++block) {
        const bool more = !worker_->messages.empty() || !worker_->responses.empty() || worker_->delivered;
        if (block > 0 && !more) break;
        run(in.data(), out.data(), block_, true);
    }
}

// What the plug-in says of its file parameters on its outputs this block:
// a patch:Set of one, or a patch:Put of several, each to a path.
void Lv2Instances::report(const Instance& inst) noexcept {
    const Lv2Unit::Shared& sh = *shared_;
    Worker& w = *worker_;
    auto put = [&](LV2_URID key, const LV2_Atom* value) {
        if (!value || value->type != sh.path || value->size == 0) return;
        for (size_t k = 0; k < sh.fileIds.size(); ++k) {
            if (sh.fileIds[k] != key) continue;
            const auto* text = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
            const uint32_t length = static_cast<uint32_t>(strnlen(text, value->size));
            if (sizeof(uint32_t) + length > w.reportBody.size()) return;
            const auto index = static_cast<uint32_t>(k);
            std::memcpy(w.reportBody.data(), &index, sizeof index);
            std::memcpy(w.reportBody.data() + sizeof index, text, length);
            w.reports.write(inst.number, static_cast<uint32_t>(sizeof index + length), w.reportBody.data());
        }
    };
    auto isObject = [&](const LV2_Atom* a) { return a && (a->type == sh.object || a->type == sh.blank); };
    for (const auto& a : inst.atoms) {
        if (a.input) continue;
        const auto* seq = reinterpret_cast<const LV2_Atom_Sequence*>(a.memory.data());
        if (seq->atom.type != inst.sequence || seq->atom.size > kAtomCapacity - sizeof(LV2_Atom)) continue;
        LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
            if (!isObject(&ev->body)) continue;
            const auto* obj = reinterpret_cast<const LV2_Atom_Object*>(&ev->body);
            if (obj->body.otype == sh.set) {
                const LV2_Atom *property = nullptr, *value = nullptr;
                lv2_atom_object_get(obj, sh.property, &property, sh.value, &value, 0);
                if (property && property->type == inst.urid)
                    put(reinterpret_cast<const LV2_Atom_URID*>(property)->body, value);
            } else if (obj->body.otype == sh.put) {
                const LV2_Atom* body = nullptr;
                lv2_atom_object_get(obj, sh.body, &body, 0);
                if (!isObject(body)) continue;
                LV2_ATOM_OBJECT_FOREACH(reinterpret_cast<const LV2_Atom_Object*>(body), prop)
                    put(prop->key, &prop->value);
            }
        }
    }
}

namespace {
const void* retrieveProperty(LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags);
}  // namespace

// The state `s` into every instance. While they run on another thread (the
// plug-in restores thread-safely), work it schedules goes to the worker.
void Lv2Instances::restore(const Lv2State& s) {
    // Not beside a restore the worker does for an instance that refused a
    // patch:Set (see verdict()).
    std::unique_lock<std::mutex> g(worker_->fileLock, std::defer_lock);
    if (live_) g.lock();
    for (auto& in : instances_) {
        tRestoringLive = live_;
        restore(*in, s, live_);
        tRestoringLive = false;
    }
}

void Lv2Instances::restore(Instance& in, const Lv2State& s, bool running) {
    const auto* iface = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(in.instance, LV2_STATE__interface));
    if (!iface || !iface->restore) return;
    iface->restore(in.handle(), &retrieveProperty, const_cast<Lv2State*>(&s), LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
                   running ? in.liveRestoreFeatures : in.features);
}

// The files about to go as patch:Set: each instance's next work tells
// whether it takes them.
void Lv2Instances::offer(const Lv2State& files) {
    Worker& w = *worker_;
    std::lock_guard g(w.fileLock);
    w.offered = files;
    w.awaiting.assign(instances_.size(), files.properties.empty() ? 0 : 1);
    w.refusedNow.assign(instances_.size(), 0);
}

namespace {

LV2_State_Status storeProperty(LV2_State_Handle h, uint32_t key, const void* value, size_t size, uint32_t type,
                               uint32_t flags) {
    auto* out = static_cast<std::vector<Lv2State::Property>*>(h);
    World& w = world();
    const char* k = World::unmapURI(&w, key);
    const char* t = World::unmapURI(&w, type);
    if (!k || !t) return LV2_STATE_ERR_UNKNOWN;
    const auto* bytes = static_cast<const uint8_t*>(value);
    out->push_back({k, t, std::vector<uint8_t>(bytes, bytes + size), flags});
    return LV2_STATE_SUCCESS;
}

const void* retrieveProperty(LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags) {
    const auto* s = static_cast<const Lv2State*>(h);
    World& w = world();
    const char* k = World::unmapURI(&w, key);
    if (!k) return nullptr;
    for (const auto& p : s->properties) {
        if (p.key != k) continue;
        if (size) *size = p.value.size();
        if (type) *type = w.id(p.type.c_str());
        if (flags) *flags = p.flags;
        return p.value.data();
    }
    return nullptr;
}

// A port value of the plug-in's default state: it becomes the control's value.
struct DefaultPorts {
    const std::vector<Lv2ControlPort>* controls;
    Lv2Unit::Shared* shared;
};

void setDefaultPort(const char* symbol, void* user, const void* value, uint32_t size, uint32_t type) {
    auto* d = static_cast<DefaultPorts*>(user);
    World& w = world();
    float v = 0.0f;
    if (type == w.id(LV2_ATOM__Float) && size == sizeof(float)) std::memcpy(&v, value, sizeof v);
    else if (type == w.id(LV2_ATOM__Double) && size == sizeof(double)) {
        double dv;
        std::memcpy(&dv, value, sizeof dv);
        v = static_cast<float>(dv);
    } else if (type == w.id(LV2_ATOM__Int) && size == sizeof(int32_t)) {
        int32_t iv;
        std::memcpy(&iv, value, sizeof iv);
        v = static_cast<float>(iv);
    } else {
        return;
    }
    for (size_t i = 0; i < d->controls->size(); ++i)
        if ((*d->controls)[i].symbol == symbol) d->shared->values[i].store(v);
}

// A patch:Get of every property, as an atom.
std::vector<uint8_t> patchGet() {
    World& w = world();
    std::vector<uint8_t> buffer(64);
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &w.map);
    lv2_atom_forge_set_buffer(&forge, buffer.data(), buffer.size());
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_object(&forge, &frame, 0, w.id(LV2_PATCH__Get));
    lv2_atom_forge_pop(&forge, &frame);
    const auto* atom = reinterpret_cast<const LV2_Atom*>(buffer.data());
    buffer.resize(sizeof(LV2_Atom) + atom->size);
    return buffer;
}

// A patch:Set of `parameter` to the file `path`, as an atom.
std::vector<uint8_t> patchSet(const std::string& parameter, const std::string& path) {
    World& w = world();
    std::vector<uint8_t> buffer(path.size() + 256);
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &w.map);
    lv2_atom_forge_set_buffer(&forge, buffer.data(), buffer.size());
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_object(&forge, &frame, 0, w.id(LV2_PATCH__Set));
    lv2_atom_forge_key(&forge, w.id(LV2_PATCH__property));
    lv2_atom_forge_urid(&forge, w.id(parameter.c_str()));
    lv2_atom_forge_key(&forge, w.id(LV2_PATCH__value));
    lv2_atom_forge_path(&forge, path.c_str(), static_cast<uint32_t>(path.size()));
    lv2_atom_forge_pop(&forge, &frame);
    const auto* atom = reinterpret_cast<const LV2_Atom*>(buffer.data());
    buffer.resize(sizeof(LV2_Atom) + atom->size);
    return buffer;
}

}  // namespace

Lv2Unit::Lv2Unit(const Lv2Plugin& plugin, int channels, double rate, uint32_t block)
    : plugin_(plugin), shared_(std::make_shared<Shared>()) {
    World& w = world();
    const LilvPlugin* p = w.plugin(plugin.uri);
    if (!p) throw AppError(kPluginUnavailable, fmt::format("{} isn't installed", plugin.name));
    for (uint32_t i = 0; i < lilv_plugin_get_num_ports(p); ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
        if (w.kind(p, port) != PortKind::control || !lilv_port_is_a(p, port, w.input)) continue;
        Lv2ControlPort c;
        c.index = i;
        c.symbol = lilv_node_as_string(lilv_port_get_symbol(p, port));
        c.name = Node(lilv_port_get_name(p, port)).text();
        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(p, port, &def, &min, &max);
        if (min) c.minimum = lilv_node_as_float(min);
        if (max) c.maximum = lilv_node_as_float(max);
        c.defaultValue = def ? lilv_node_as_float(def) : c.minimum;
        lilv_node_free(def);
        lilv_node_free(min);
        lilv_node_free(max);
        c.toggled = lilv_port_has_property(p, port, w.toggled);
        c.integer = lilv_port_has_property(p, port, w.integer);
        c.logarithmic = lilv_port_has_property(p, port, w.logarithmic);
        if (lilv_port_has_property(p, port, w.enumeration)) {
            if (LilvScalePoints* points = lilv_port_get_scale_points(p, port)) {
                LILV_FOREACH(scale_points, k, points) {
                    const LilvScalePoint* sp = lilv_scale_points_get(points, k);
                    c.choices.emplace_back(lilv_node_as_float(lilv_scale_point_get_value(sp)),
                                           lilv_node_as_string(lilv_scale_point_get_label(sp)));
                }
                lilv_scale_points_free(points);
                std::sort(c.choices.begin(), c.choices.end());
            }
        }
        controls_.push_back(std::move(c));
    }
    files_ = w.fileParameters(p);
    chosen_.resize(files_.size());
    stateful_ = lilv_plugin_has_extension_data(p, w.stateInterface);
    restoresLive_ = stateful_ && lilv_plugin_has_feature(p, w.threadSafeRestore);
    shared_->stateful = stateful_;
    shared_->restoresLive = restoresLive_;
    for (const auto& f : files_) shared_->fileIds.push_back(w.id(f.uri.c_str()));
    shared_->object = w.id(LV2_ATOM__Object);
    shared_->blank = w.id(LV2_ATOM__Blank);
    shared_->path = w.id(LV2_ATOM__Path);
    shared_->set = w.id(LV2_PATCH__Set);
    shared_->put = w.id(LV2_PATCH__Put);
    shared_->property = w.id(LV2_PATCH__property);
    shared_->value = w.id(LV2_PATCH__value);
    shared_->body = w.id(LV2_PATCH__body);
    shared_->values = std::make_unique<std::atomic<float>[]>(controls_.size());
    for (size_t i = 0; i < controls_.size(); ++i) shared_->values[i].store(controls_[i].defaultValue);
    instantiate(channels, rate, block);
}

Lv2Unit::~Lv2Unit() = default;

float Lv2Unit::control(size_t i) const {
    return i < controls_.size() ? shared_->values[i].load(std::memory_order_relaxed) : 0.0f;
}

void Lv2Unit::setControl(size_t i, float value) {
    if (i >= controls_.size()) return;
    const auto& c = controls_[i];
    shared_->values[i].store(std::clamp(value, std::min(c.minimum, c.maximum), std::max(c.minimum, c.maximum)),
                             std::memory_order_relaxed);
}

const std::string& Lv2Unit::file(size_t i) const {
    static const std::string none;
    return i < chosen_.size() ? chosen_[i] : none;
}

void Lv2Unit::setFile(size_t i, const std::string& path) {
    if (i >= files_.size()) return;
    chosen_[i] = path;
    if (!latest_) return;
    // Plug-ins differ in the way they take a file: convoLV2 takes a
    // patch:Set and restores no state it did not save whole; zeroconvolv's
    // worker refuses the path of a patch:Set, and its state takes it. A
    // file goes as a patch:Set until the plug-in's worker refuses one; from
    // then on it goes through the plug-in's state, into running instances
    // only where the plug-in restores thread-safely (else the next
    // instances have it).
    if (shared_->byState.load()) {
        if (restoresLive_ || !latest_->isLive()) latest_->restore(withFiles(Lv2State{}));
        return;
    }
    latest_->offer(withFiles(Lv2State{}));
    latest_->send(patchSet(files_[i].uri, path));
}

Lv2State Lv2Unit::withFiles(Lv2State s) const {
    for (size_t i = 0; i < files_.size(); ++i) {
        if (chosen_[i].empty()) continue;
        std::erase_if(s.properties, [&](const Lv2State::Property& p) { return p.key == files_[i].uri; });
        std::vector<uint8_t> value(chosen_[i].begin(), chosen_[i].end());
        value.push_back(0);
        s.properties.push_back({files_[i].uri, LV2_ATOM__Path, std::move(value), LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE});
    }
    return s;
}

std::string Lv2Unit::loadedFile(size_t i) {
    if (i >= files_.size() || !latest_) return {};
    Lv2Instances& run = *latest_;
    auto& w = *run.worker_;
    reported_.resize(run.instances_.size(), std::vector<std::string>(files_.size()));
    std::vector<uint8_t> body(kMessageBytes);
    uint32_t tag = 0, size = 0;
    while (w.reports.read(tag, size, body.data(), body.size())) {
        uint32_t index = 0;
        if (size < sizeof index || tag >= reported_.size()) continue;
        std::memcpy(&index, body.data(), sizeof index);
        if (index < files_.size())
            reported_[tag][index].assign(reinterpret_cast<const char*>(body.data()) + sizeof index, size - sizeof index);
    }
    std::string agreed = reported_.empty() ? std::string() : reported_.front()[i];
    for (const auto& r : reported_)
        if (r[i] != agreed) agreed.clear();
    // Not yet what was chosen: ask again, once the last question was taken.
    if (agreed != chosen_[i] && w.messages.empty()) run.send(patchGet());
    return agreed;
}

bool Lv2Unit::bypassed() const { return shared_->bypass.load(std::memory_order_relaxed); }
void Lv2Unit::setBypassed(bool on) { shared_->bypass.store(on, std::memory_order_relaxed); }
bool Lv2Unit::failed() const { return shared_->failed.load(std::memory_order_acquire); }
uint32_t Lv2Unit::latency() const { return latest_ ? latest_->latency() : 0; }

Lv2State Lv2Unit::state() const {
    Lv2State s;
    if (!latest_ && parked_) s = *parked_;
    s.controls.clear();
    for (size_t i = 0; i < controls_.size(); ++i) s.controls.push_back(control(i));
    if (!latest_ || latest_->instances_.empty()) return s;
    const auto& first = *latest_->instances_.front();
    const auto* iface =
        static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(first.instance, LV2_STATE__interface));
    if (iface && iface->save)
        iface->save(first.handle(), &storeProperty, &s.properties, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
                    first.features);
    return s;
}

std::shared_ptr<Lv2Instances> Lv2Unit::instantiate(int channels, double rate, uint32_t block) {
    World& w = world();
    const LilvPlugin* p = w.plugin(plugin_.uri);
    if (!p) throw AppError(kPluginUnavailable, fmt::format("{} isn't installed", plugin_.name));
    if (!Lv2Host::fits(plugin_, channels))
        throw AppError(kPluginUnavailable, fmt::format("{} can't play on an output of {} channels", plugin_.name, channels));
    const int count = plugin_.audioInputs == channels && plugin_.audioOutputs == channels ? 1 : channels;
    block = std::clamp<uint32_t>(block, 1, kMaxRenderFrames);

    std::optional<Lv2State> carried = latest_ ? std::optional<Lv2State>(state()) : parked_;
    // Instances nobody else holds (no chain runs them) go first, their state
    // kept: their library is unloaded before it is loaded again, so a bundle
    // that went away shows now, not at a later run.
    if (latest_.use_count() == 1) {
        parked_ = carried;
        latest_.reset();
    }
    const bool defaults = !carried && lilv_plugin_has_feature(p, w.defaultState);
    std::shared_ptr<Lv2Instances> made(new Lv2Instances());
    made->shared_ = shared_;
    made->channels_ = channels;
    made->rate_ = rate;
    made->block_ = block;
    made->worker_->inPiece.resize(size_t(channels));
    made->worker_->outPiece.resize(size_t(channels));
    for (int n = 0; n < count; ++n) {
        auto in = std::make_unique<Lv2Instances::Instance>();
        in->owner = made.get();
        in->number = static_cast<uint32_t>(n);
        in->rate = static_cast<float>(rate);
        // A convolver sizes its partitions by these: the stream's period is
        // the longest block it is given.
        in->nominalBlock = static_cast<int32_t>(block);
        in->maxBlock = static_cast<int32_t>(block);
        in->sequence = w.id(LV2_ATOM__Sequence);
        in->chunk = w.id(LV2_ATOM__Chunk);
        in->urid = w.id(LV2_ATOM__URID);
        const LV2_URID intType = w.id(LV2_ATOM__Int), floatType = w.id(LV2_ATOM__Float);
        in->options[0] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t), intType,
                          &in->minBlock};
        in->options[1] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), intType,
                          &in->maxBlock};
        in->options[2] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t),
                          intType, &in->nominalBlock};
        in->options[3] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_PARAMETERS__sampleRate), sizeof(float), floatType,
                          &in->rate};
        in->options[4] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        in->schedule = {in.get(), &Lv2Instances::Instance::scheduleWork};
        in->mapFeature = {LV2_URID__map, &w.map};
        in->unmapFeature = {LV2_URID__unmap, &w.unmap};
        in->optionsFeature = {LV2_OPTIONS__options, in->options};
        in->boundedFeature = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
        in->scheduleFeature = {LV2_WORKER__schedule, &in->schedule};
        in->mapPathFeature = {LV2_STATE__mapPath, &w.mapPath};
        in->freePathFeature = {LV2_STATE__freePath, &w.freePath};
        in->defaultStateFeature = {LV2_STATE__loadDefaultState, nullptr};
        in->threadSafeRestoreFeature = {LV2_STATE__threadSafeRestore, nullptr};
        const LV2_Feature* features[] = {&in->mapFeature,     &in->unmapFeature,    &in->optionsFeature,
                                         &in->boundedFeature, &in->scheduleFeature, &in->mapPathFeature,
                                         &in->freePathFeature, &in->defaultStateFeature, nullptr};
        std::copy(std::begin(features), std::end(features), in->features);
        std::copy(std::begin(features), std::end(features) - 1, in->liveRestoreFeatures);
        in->liveRestoreFeatures[8] = &in->threadSafeRestoreFeature;
        in->liveRestoreFeatures[9] = nullptr;

        in->instance = lilv_plugin_instantiate(p, rate, in->features);
        if (!in->instance)
            throw AppError(kPluginUnavailable,
                           fmt::format("{} couldn't be started at {} Hz", plugin_.name, static_cast<long>(rate)));
        in->work = static_cast<const LV2_Worker_Interface*>(
            lilv_instance_get_extension_data(in->instance, LV2_WORKER__interface));
        if (in->work && (!in->work->work || !in->work->work_response)) in->work = nullptr;

        const uint32_t ports = lilv_plugin_get_num_ports(p);
        in->ports.assign(ports, 0.0f);
        in->cvSilence.assign(kMaxRenderFrames, 0.0f);
        in->cvSink.assign(kMaxRenderFrames, 0.0f);
        if (lilv_plugin_has_latency(p)) in->latencyPort = lilv_plugin_get_latency_port_index(p);
        for (uint32_t i = 0; i < ports; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
            const bool isInput = lilv_port_is_a(p, port, w.input);
            switch (w.kind(p, port)) {
                case PortKind::control:
                    lilv_instance_connect_port(in->instance, i, &in->ports[i]);
                    if (isInput) in->controlInputs.push_back(i);
                    break;
                case PortKind::audio:
                    (isInput ? in->audioIn : in->audioOut).push_back(i);
                    break;
                case PortKind::atom: {
                    // Messages go to the input designated for control, else the first.
                    Node designation(lilv_port_get(p, port, w.designation));
                    const bool control = designation.n && lilv_node_equals(designation, w.controlDesignation);
                    if (isInput && (in->controlAtom < 0 || control))
                        in->controlAtom = static_cast<int>(in->atoms.size());
                    in->atoms.push_back({i, isInput, std::vector<uint64_t>(kAtomCapacity / sizeof(uint64_t))});
                    break;
                }
                case PortKind::cv:
                    lilv_instance_connect_port(in->instance, i, isInput ? in->cvSilence.data() : in->cvSink.data());
                    break;
                case PortKind::other:
                    lilv_instance_connect_port(in->instance, i, nullptr);
                    break;
            }
        }
        for (auto& a : in->atoms) lilv_instance_connect_port(in->instance, a.index, a.memory.data());
        made->instances_.push_back(std::move(in));
    }

    for (auto& in : made->instances_) {
        if (defaults) {
            // The plug-in's own default state, once, for the unit's first instances.
            if (LilvState* s = lilv_state_new_from_world(w.world, &w.map, lilv_plugin_get_uri(p))) {
                DefaultPorts ports{&controls_, shared_.get()};
                lilv_state_restore(s, in->instance, &setDefaultPort, &ports, 0, in->features);
                lilv_state_free(s);
            }
        }
        for (size_t k = 0; k < in->controlInputs.size(); ++k)
            in->ports[in->controlInputs[k]] = shared_->values[k].load(std::memory_order_relaxed);
    }
    // The carried state, with the chosen files where the plug-in takes them
    // that way; else the files go as patch:Set (see setFile()).
    const bool byState = stateful_ && shared_->byState.load();
    if (stateful_) {
        const Lv2State given = byState ? withFiles(carried.value_or(Lv2State{})) : carried.value_or(Lv2State{});
        if (!given.properties.empty()) made->restore(given);
    }
    for (auto& in : made->instances_) lilv_instance_activate(in->instance);
    if (!byState) {
        made->offer(withFiles(Lv2State{}));
        for (size_t i = 0; i < files_.size(); ++i)
            if (!chosen_[i].empty()) made->send(patchSet(files_[i].uri, chosen_[i]));
    }
    made->settle();
    latest_ = made;
    reported_.clear();
    parked_.reset();
    shared_->failed.store(false, std::memory_order_release);
    return made;
}

namespace {

// The plug-in's first X11 UI: its URI, bundle folder and binary.
struct UiFiles {
    std::string uri, bundle, binary;
};

std::optional<UiFiles> x11Ui(const Lv2Plugin& plugin) {
    World& w = world();
    const LilvPlugin* p = w.plugin(plugin.uri);
    if (!p) return std::nullopt;
    LilvUIs* uis = lilv_plugin_get_uis(p);
    std::optional<UiFiles> found;
    Node x11(lilv_new_uri(w.world, LV2_UI__X11UI));
    LILV_FOREACH(uis, i, uis) {
        const LilvUI* ui = lilv_uis_get(uis, i);
        if (!lilv_ui_is_a(ui, x11)) continue;
        char* bundle = lilv_file_uri_parse(lilv_node_as_uri(lilv_ui_get_bundle_uri(ui)), nullptr);
        char* binary = lilv_file_uri_parse(lilv_node_as_uri(lilv_ui_get_binary_uri(ui)), nullptr);
        if (bundle && binary) found = UiFiles{lilv_node_as_uri(lilv_ui_get_uri(ui)), bundle, binary};
        lilv_free(bundle);
        lilv_free(binary);
        if (found) break;
    }
    lilv_uis_free(uis);
    return found;
}

// Xlib's error handler for the whole process, ours from the first plug-in
// window on: Xlib's own ends the process at any error, and a plug-in's UI
// may raise one at any time (on a thread of its own, or read with a later
// event on its own connection). An error during a call into a UI is that
// UI's; one raised elsewhere is recorded against its Display, and goes to
// the UI whose connection it came on, else (a connection the UI opened
// itself) to every plug-in window open. The handler it replaced is called
// after it, unless that is Xlib's own.
struct XErrorLog {
    struct Error {
        Display* display;
        int code;
    };
    std::mutex lock;
    std::deque<Error> recent;  // the last errors raised outside calls into a UI
    uint64_t count = 0;        // of those, ever
    std::vector<Display*> windows;  // the connections of the open plug-in windows
    XErrorHandler chained = nullptr;
};

XErrorLog& xErrors() {
    static XErrorLog log;
    return log;
}

// The error slot of the UI this thread is calling into, if any.
thread_local int* tTrap = nullptr;

int recordXError(Display* display, XErrorEvent* error) {
    const int code = error->error_code ? error->error_code : -1;
    XErrorLog& log = xErrors();
    if (tTrap) {
        if (!*tTrap) *tTrap = code;
    } else {
        std::lock_guard g(log.lock);
        log.recent.push_back({display, code});
        if (log.recent.size() > 64) log.recent.pop_front();
        ++log.count;
    }
    if (log.chained) log.chained(display, error);
    return 0;
}

void installXErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        XErrorHandler previous = XSetErrorHandler(&recordXError);
        // Xlib's own is what a null handler puts back.
        XSetErrorHandler(nullptr);
        XErrorHandler xlib = XSetErrorHandler(&recordXError);
        xErrors().chained = previous == xlib || previous == &recordXError ? nullptr : previous;
    });
}

}  // namespace

struct Lv2X11Ui::Suil {
    SuilHost* host = nullptr;
    SuilInstance* instance = nullptr;
    Display* display = nullptr;
    ~Suil() {
        if (instance) suil_instance_free(instance);
        if (host) suil_host_free(host);
        if (display) {
            XErrorLog& log = xErrors();
            {
                std::lock_guard g(log.lock);
                std::erase(log.windows, display);
            }
            XCloseDisplay(display);
        }
    }
};

template <class F>
void Lv2X11Ui::guarded(F&& call) const {
    // Ours again, should a UI have put its own in place.
    XSetErrorHandler(&recordXError);
    int trapped = 0;
    tTrap = &trapped;
    call();
    // Our own connection's requests about the UI's window are answered now.
    if (suil_ && suil_->display) XSync(suil_->display, False);
    tTrap = nullptr;
    if (trapped && !error_) error_ = trapped;
}

// Errors raised outside calls into the UI since the last look: on our
// connection, or on one no plug-in window is known by.
void Lv2X11Ui::claimErrors() const {
    XErrorLog& log = xErrors();
    std::lock_guard g(log.lock);
    const uint64_t fresh = std::min<uint64_t>(log.count - seen_, log.recent.size());
    seen_ = log.count;
    for (size_t i = log.recent.size() - fresh; i < log.recent.size(); ++i) {
        const auto& e = log.recent[i];
        const bool known = std::find(log.windows.begin(), log.windows.end(), e.display) != log.windows.end();
        if ((!known || (suil_ && e.display == suil_->display)) && !error_) error_ = e.code;
    }
}

bool Lv2X11Ui::available(const Lv2Plugin& plugin) { return x11Ui(plugin).has_value(); }

Lv2X11Ui::Lv2X11Ui(std::shared_ptr<Lv2Unit> unit, unsigned long parent)
    : unit_(std::move(unit)), suil_(std::make_unique<Suil>()) {
    const Lv2Plugin& plugin = unit_->plugin();
    const auto files = x11Ui(plugin);
    if (!files) throw AppError(kPluginUnavailable, fmt::format("{} has no window of its own", plugin.name));
    installXErrorHandler();
    suil_->display = XOpenDisplay(nullptr);
    if (!suil_->display) throw AppError(kPluginUnavailable, "The X display isn't available");
    {
        XErrorLog& log = xErrors();
        std::lock_guard g(log.lock);
        log.windows.push_back(suil_->display);
        seen_ = log.count;
    }
    World& w = world();
    LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void*>(parent)};
    LV2_Feature mapFeature{LV2_URID__map, &w.map};
    LV2_Feature unmapFeature{LV2_URID__unmap, &w.unmap};
    const LV2_Feature* features[] = {&parentFeature, &mapFeature, &unmapFeature, nullptr};
    suil_->host = suil_host_new(&Lv2X11Ui::write, nullptr, nullptr, nullptr);
    guarded([&] {
        suil_->instance = suil_instance_new(suil_->host, this, LV2_UI__X11UI, plugin.uri.c_str(), files->uri.c_str(),
                                            LV2_UI__X11UI, files->bundle.c_str(), files->binary.c_str(), features);
    });
    if (!suil_->instance || error_) {
        guarded([&] { suil_.reset(); });
        throw AppError(kPluginUnavailable, fmt::format("{}'s window couldn't be opened", plugin.name));
    }
    window_ = reinterpret_cast<unsigned long>(suil_instance_get_widget(suil_->instance));
    sent_.assign(unit_->controls().size(), std::numeric_limits<float>::quiet_NaN());
    idle();
}

Lv2X11Ui::~Lv2X11Ui() {
    // The UI's cleanup may fail on X too.
    guarded([this] {
        if (suil_ && suil_->instance) {
            suil_instance_free(suil_->instance);
            suil_->instance = nullptr;
        }
    });
}

std::pair<int, int> Lv2X11Ui::size() const {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    bool got = false;
    guarded([&] { got = window_ && XGetGeometry(suil_->display, window_, &root, &x, &y, &width, &height, &border, &depth); });
    if (!got) return {0, 0};
    return {static_cast<int>(width), static_cast<int>(height)};
}

bool Lv2X11Ui::idle() {
    claimErrors();
    if (error_) return false;
    bool open = true;
    guarded([&] {
        const auto& controls = unit_->controls();
        for (size_t i = 0; i < controls.size(); ++i) {
            float v = unit_->control(i);
            if (v == sent_[i]) continue;
            sent_[i] = v;
            suil_instance_port_event(suil_->instance, controls[i].index, sizeof v, 0, &v);
        }
        const auto* iface = static_cast<const LV2UI_Idle_Interface*>(
            suil_instance_extension_data(suil_->instance, LV2_UI__idleInterface));
        open = !(iface && iface->idle && iface->idle(suil_instance_get_handle(suil_->instance)) != 0);
    });
    return open && !error_;
}

void Lv2X11Ui::write(void* controller, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer) {
    auto* self = static_cast<Lv2X11Ui*>(controller);
    if (protocol != 0 || size != sizeof(float)) return;
    const auto& controls = self->unit_->controls();
    for (size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].index != port) continue;
        float v;
        std::memcpy(&v, buffer, sizeof v);
        self->unit_->setControl(i, v);
        // The UI knows this value: it needs no echo.
        self->sent_[i] = self->unit_->control(i);
    }
}

}  // namespace qm
