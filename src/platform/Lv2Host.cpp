#include "platform/Lv2Host.h"

#include "platform/AppError.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/port-props/port-props.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>
#include <suil/suil.h>
#include <X11/Xlib.h>

#include <fmt/format.h>

#include <limits>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace qm {

namespace {

constexpr int kPluginUnavailable = 80;
constexpr uint32_t kAtomCapacity = 8192;

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

struct World {
    LilvWorld* world = lilv_world_new();
    // The URID map may be called by plug-ins from any non-real-time thread.
    std::mutex lock;
    std::unordered_map<std::string, LV2_URID> ids;
    std::deque<std::string> uris;
    LV2_URID_Map map{this, &World::mapURI};
    LV2_URID_Unmap unmap{this, &World::unmapURI};

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
    std::vector<std::string> provided{LV2_URID__map,
                                      LV2_URID__unmap,
                                      LV2_OPTIONS__options,
                                      LV2_BUF_SIZE__boundedBlockLength,
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
                            logarithmic, doapName})
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
        return d;
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

}  // namespace

std::vector<Lv2Plugin> Lv2Host::plugins() { return world().offered; }

const Lv2Plugin* Lv2Host::find(const std::string& uri) {
    for (const auto& p : world().offered)
        if (p.uri == uri) return &p;
    return nullptr;
}

// One instance with its port buffers, features and options.
struct Lv2Unit::Instance {
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
    std::vector<float> cvSilence, cvSink;
    int64_t latencyPort = -1;

    int32_t minBlock = 1, maxBlock = static_cast<int32_t>(Lv2Host::maxBlock);
    float rate = 0.0f;
    LV2_Options_Option options[4]{};
    LV2_Feature mapFeature{}, unmapFeature{}, optionsFeature{}, boundedFeature{};
    const LV2_Feature* features[5]{};

    ~Instance() {
        if (instance) {
            lilv_instance_deactivate(instance);
            lilv_instance_free(instance);
        }
    }

    LV2_URID sequence = 0, chunk = 0;

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
};

Lv2Unit::Lv2Unit(const Lv2Plugin& plugin, int channels, double rate) : plugin_(plugin) {
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
    values_ = std::make_unique<std::atomic<float>[]>(controls_.size());
    for (size_t i = 0; i < controls_.size(); ++i) values_[i].store(controls_[i].defaultValue);
    make(channels, rate, nullptr);
}

Lv2Unit::~Lv2Unit() { release(); }

void Lv2Unit::release() { instances_.clear(); }

float Lv2Unit::control(size_t i) const { return i < controls_.size() ? values_[i].load(std::memory_order_relaxed) : 0.0f; }

void Lv2Unit::setControl(size_t i, float value) {
    if (i >= controls_.size()) return;
    const auto& c = controls_[i];
    values_[i].store(std::clamp(value, std::min(c.minimum, c.maximum), std::max(c.minimum, c.maximum)),
                     std::memory_order_relaxed);
}

uint32_t Lv2Unit::latency() const { return latency_.load(std::memory_order_relaxed); }

void Lv2Unit::prepare(int channels, double rate) {
    const Lv2State saved = state();
    // The old instances go first: their library is unloaded before it is
    // loaded again, so a bundle that went away shows now, not at a later run.
    release();
    // Until a make succeeds, blocks of the new shape are copied through whole.
    channels_ = channels;
    rate_ = rate;
    make(channels, rate, &saved);
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

}  // namespace

Lv2State Lv2Unit::state() const {
    Lv2State s;
    for (size_t i = 0; i < controls_.size(); ++i) s.controls.push_back(control(i));
    if (instances_.empty()) return s;
    LilvInstance* inst = instances_.front()->instance;
    const auto* iface = static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(inst, LV2_STATE__interface));
    if (iface && iface->save)
        iface->save(lilv_instance_get_handle(inst), &storeProperty, &s.properties,
                    LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, instances_.front()->features);
    return s;
}

void Lv2Unit::make(int channels, double rate, const Lv2State* state) {
    World& w = world();
    const LilvPlugin* p = w.plugin(plugin_.uri);
    if (!p) throw AppError(kPluginUnavailable, fmt::format("{} isn't installed", plugin_.name));
    int count = 0;
    if (plugin_.audioInputs == channels && plugin_.audioOutputs == channels)
        count = 1;
    else if (plugin_.audioInputs == 1 && plugin_.audioOutputs == 1)
        count = channels;
    if (count < 1)
        throw AppError(kPluginUnavailable, fmt::format("{} can't play on an output of {} channels", plugin_.name, channels));

    std::vector<std::unique_ptr<Instance>> made;
    for (int n = 0; n < count; ++n) {
        auto in = std::make_unique<Instance>();
        in->rate = static_cast<float>(rate);
        in->sequence = w.id(LV2_ATOM__Sequence);
        in->chunk = w.id(LV2_ATOM__Chunk);
        const LV2_URID intType = w.id(LV2_ATOM__Int), floatType = w.id(LV2_ATOM__Float);
        in->options[0] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t), intType,
                          &in->minBlock};
        in->options[1] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), intType,
                          &in->maxBlock};
        in->options[2] = {LV2_OPTIONS_INSTANCE, 0, w.id(LV2_PARAMETERS__sampleRate), sizeof(float), floatType,
                          &in->rate};
        in->options[3] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        in->mapFeature = {LV2_URID__map, &w.map};
        in->unmapFeature = {LV2_URID__unmap, &w.unmap};
        in->optionsFeature = {LV2_OPTIONS__options, in->options};
        in->boundedFeature = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
        in->features[0] = &in->mapFeature;
        in->features[1] = &in->unmapFeature;
        in->features[2] = &in->optionsFeature;
        in->features[3] = &in->boundedFeature;
        in->features[4] = nullptr;

        in->instance = lilv_plugin_instantiate(p, rate, in->features);
        if (!in->instance)
            throw AppError(kPluginUnavailable,
                           fmt::format("{} couldn't be started at {} Hz", plugin_.name, static_cast<long>(rate)));

        const uint32_t ports = lilv_plugin_get_num_ports(p);
        in->ports.assign(ports, 0.0f);
        in->cvSilence.assign(Lv2Host::maxBlock, 0.0f);
        in->cvSink.assign(Lv2Host::maxBlock, 0.0f);
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
                case PortKind::atom:
                    in->atoms.push_back({i, isInput, std::vector<uint64_t>(kAtomCapacity / sizeof(uint64_t))});
                    break;
                case PortKind::cv:
                    lilv_instance_connect_port(in->instance, i, isInput ? in->cvSilence.data() : in->cvSink.data());
                    break;
                case PortKind::other:
                    lilv_instance_connect_port(in->instance, i, nullptr);
                    break;
            }
        }
        for (auto& a : in->atoms) lilv_instance_connect_port(in->instance, a.index, a.memory.data());
        for (size_t k = 0; k < in->controlInputs.size(); ++k)
            in->ports[in->controlInputs[k]] = values_[k].load(std::memory_order_relaxed);

        if (state && !state->properties.empty()) {
            const auto* iface =
                static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(in->instance, LV2_STATE__interface));
            if (iface && iface->restore)
                iface->restore(lilv_instance_get_handle(in->instance), &retrieveProperty,
                               const_cast<Lv2State*>(state), LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, in->features);
        }
        lilv_instance_activate(in->instance);
        made.push_back(std::move(in));
    }

    // One silent block, so that the plug-in reports its latency before the
    // stream asks for it.
    std::vector<float> silence(64, 0.0f), sink(64, 0.0f);
    uint32_t reported = 0;
    for (auto& in : made) {
        for (uint32_t i : in->audioIn) lilv_instance_connect_port(in->instance, i, silence.data());
        for (uint32_t i : in->audioOut) lilv_instance_connect_port(in->instance, i, sink.data());
        in->resetAtoms();
        lilv_instance_run(in->instance, 64);
        if (in->latencyPort >= 0) reported = std::max(reported, static_cast<uint32_t>(std::max(0.0f, in->ports[size_t(in->latencyPort)])));
    }
    instances_ = std::move(made);
    channels_ = channels;
    rate_ = rate;
    latency_.store(reported, std::memory_order_relaxed);
    failed_.store(false, std::memory_order_release);
}

void Lv2Unit::process(const float* const* in, float* const* out, uint32_t frames) noexcept {
    frames = std::min(frames, Lv2Host::maxBlock);
    const int channels = channels_;
    auto copyThrough = [&] {
        for (int c = 0; c < channels; ++c) std::memcpy(out[c], in[c], frames * sizeof(float));
    };
    if (instances_.empty() || bypass_.load(std::memory_order_relaxed)) {
        copyThrough();
        return;
    }
    const size_t count = instances_.size();
    for (size_t n = 0; n < count; ++n) {
        Instance& inst = *instances_[n];
        for (size_t k = 0; k < inst.controlInputs.size(); ++k)
            inst.ports[inst.controlInputs[k]] = values_[k].load(std::memory_order_relaxed);
        inst.resetAtoms();
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
    const Instance& first = *instances_.front();
    if (first.latencyPort >= 0) {
        const float l = first.ports[size_t(first.latencyPort)];
        latency_.store(finite(l) && l > 0.0f ? static_cast<uint32_t>(l) : 0u, std::memory_order_relaxed);
    }
    for (int c = 0; c < channels; ++c) {
        for (uint32_t t = 0; t < frames; ++t) {
            if (!finite(out[c][t])) {
                copyThrough();
                bypass_.store(true, std::memory_order_relaxed);
                failed_.store(true, std::memory_order_release);
                return;
            }
        }
    }
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

}  // namespace

struct Lv2X11Ui::Suil {
    SuilHost* host = nullptr;
    SuilInstance* instance = nullptr;
    Display* display = nullptr;
    ~Suil() {
        if (instance) suil_instance_free(instance);
        if (host) suil_host_free(host);
        if (display) XCloseDisplay(display);
    }
};

bool Lv2X11Ui::available(const Lv2Plugin& plugin) { return x11Ui(plugin).has_value(); }

Lv2X11Ui::Lv2X11Ui(std::shared_ptr<Lv2Unit> unit, unsigned long parent)
    : unit_(std::move(unit)), suil_(std::make_unique<Suil>()) {
    const Lv2Plugin& plugin = unit_->plugin();
    const auto files = x11Ui(plugin);
    if (!files) throw AppError(kPluginUnavailable, fmt::format("{} has no window of its own", plugin.name));
    suil_->display = XOpenDisplay(nullptr);
    if (!suil_->display) throw AppError(kPluginUnavailable, "The X display isn't available");
    World& w = world();
    LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void*>(parent)};
    LV2_Feature mapFeature{LV2_URID__map, &w.map};
    LV2_Feature unmapFeature{LV2_URID__unmap, &w.unmap};
    const LV2_Feature* features[] = {&parentFeature, &mapFeature, &unmapFeature, nullptr};
    suil_->host = suil_host_new(&Lv2X11Ui::write, nullptr, nullptr, nullptr);
    suil_->instance = suil_instance_new(suil_->host, this, LV2_UI__X11UI, plugin.uri.c_str(), files->uri.c_str(),
                                        LV2_UI__X11UI, files->bundle.c_str(), files->binary.c_str(), features);
    if (!suil_->instance) throw AppError(kPluginUnavailable, fmt::format("{}'s window couldn't be opened", plugin.name));
    window_ = reinterpret_cast<unsigned long>(suil_instance_get_widget(suil_->instance));
    sent_.assign(unit_->controls().size(), std::numeric_limits<float>::quiet_NaN());
    idle();
}

Lv2X11Ui::~Lv2X11Ui() = default;

std::pair<int, int> Lv2X11Ui::size() const {
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    if (!window_ || !XGetGeometry(suil_->display, window_, &root, &x, &y, &width, &height, &border, &depth))
        return {0, 0};
    return {static_cast<int>(width), static_cast<int>(height)};
}

bool Lv2X11Ui::idle() {
    const auto& controls = unit_->controls();
    for (size_t i = 0; i < controls.size(); ++i) {
        float v = unit_->control(i);
        if (v == sent_[i]) continue;
        sent_[i] = v;
        suil_instance_port_event(suil_->instance, controls[i].index, sizeof v, 0, &v);
    }
    const auto* iface =
        static_cast<const LV2UI_Idle_Interface*>(suil_instance_extension_data(suil_->instance, LV2_UI__idleInterface));
    return !(iface && iface->idle && iface->idle(suil_instance_get_handle(suil_->instance)) != 0);
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
