#include "platform/PipeWireClient.h"

#include <pipewire/extensions/metadata.h>
#include <spa/param/audio/raw-types.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qm::pipewire {

namespace {

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        pw_init(nullptr, nullptr);
        // The system keeps no log: the library says nothing unless asked to.
        if (!std::getenv("PIPEWIRE_DEBUG")) pw_log_set_level(SPA_LOG_LEVEL_NONE);
    });
}

std::string text(const spa_dict* props, const char* key) {
    const char* v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? v : "";
}

uint32_t number(const spa_dict* props, const char* key) {
    const char* v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : 0;
}

// The "name" of a metadata value such as {"name":"alsa_output.pci-0000"}.
std::string jsonName(const char* value) {
    if (!value) return "";
    spa_json it[2];
    spa_json_init(&it[0], value, std::strlen(value));
    if (spa_json_enter_object(&it[0], &it[1]) <= 0) return "";
    char key[64];
    while (spa_json_get_string(&it[1], key, sizeof(key)) > 0) {
        char name[1024];
        if (std::strcmp(key, "name") == 0) return spa_json_get_string(&it[1], name, sizeof(name)) > 0 ? name : "";
        const char* skip;
        if (spa_json_next(&it[1], &skip) <= 0) break;
    }
    return "";
}

}  // namespace

const Node* Graph::node(uint32_t id) const {
    for (const auto& n : nodes)
        if (n.id == id) return &n;
    return nullptr;
}

const Node* Graph::nodeNamed(const std::string& name) const {
    for (const auto& n : nodes)
        if (n.name == name) return &n;
    return nullptr;
}

std::vector<Port> Graph::portsOf(uint32_t node, bool input) const {
    std::vector<Port> out;
    for (const auto& p : ports)
        if (p.node == node && p.input == input && !p.monitor) out.push_back(p);
    std::sort(out.begin(), out.end(), [](const Port& a, const Port& b) { return a.index < b.index; });
    return out;
}

// The hooks and proxies the connection listens with; they live on the loop.
struct Connection::Listeners {
    Connection* owner = nullptr;
    spa_hook core{};
    spa_hook registry{};
    struct Metadata {
        Listeners* listeners = nullptr;
        pw_proxy* proxy = nullptr;
        spa_hook hook{};
        bool settings = false;  // "settings" (the clock); else "default" (the default sink)
    };
    std::vector<std::unique_ptr<Metadata>> metadata;
    uint32_t forcedRate = 0, clockRate = 0;
};

void Connection::changed(Change change, uint32_t id) {
    std::lock_guard guard(lock_);
    if (handler_ && (seen_ || change == Change::lost)) handler_(change, id, graph_);
}

void Connection::onChange(ChangeHandler handler) {
    std::lock_guard guard(lock_);
    handler_ = std::move(handler);
}

Graph Connection::graph() const {
    std::lock_guard guard(lock_);
    return graph_;
}

void Connection::inspect(const std::function<void(const Graph&)>& look) const {
    std::lock_guard guard(lock_);
    look(graph_);
}

std::unique_ptr<Connection> Connection::open(const std::string& name) {
    initOnce();
    std::unique_ptr<Connection> c(new Connection);
    c->listeners_ = std::make_unique<Listeners>();
    c->listeners_->owner = c.get();
    c->loop_ = pw_thread_loop_new("QM.PipeWire", nullptr);
    if (!c->loop_) return nullptr;
    c->context_ = pw_context_new(pw_thread_loop_get_loop(c->loop_),
                                 pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!c->context_ || pw_thread_loop_start(c->loop_) != 0) return nullptr;
    {
        Lock lock(*c);
        c->core_ = pw_context_connect(c->context_, pw_properties_new(PW_KEY_APP_NAME, name.c_str(), nullptr), 0);
        if (!c->core_) return nullptr;
        static const pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = [](void* data, uint32_t id, int seq) {
                auto* l = static_cast<Listeners*>(data);
                if (id != PW_ID_CORE) return;
                l->owner->done_ = seq;
                pw_thread_loop_signal(l->owner->loop_, false);
            };
            e.error = [](void* data, uint32_t id, int, int res, const char*) {
                auto* l = static_cast<Listeners*>(data);
                if (id != PW_ID_CORE || res != -EPIPE) return;
                l->owner->lost_.store(true);
                l->owner->changed(Change::lost, 0);
                pw_thread_loop_signal(l->owner->loop_, false);
            };
            return e;
        }();
        pw_core_add_listener(c->core_, &c->listeners_->core, &coreEvents, c->listeners_.get());

        static const pw_metadata_events metadataEvents = [] {
            pw_metadata_events e{};
            e.version = PW_VERSION_METADATA_EVENTS;
            e.property = [](void* data, uint32_t subject, const char* key, const char*, const char* value) -> int {
                auto* m = static_cast<Listeners::Metadata*>(data);
                Listeners* l = m->listeners;
                Connection* c = l->owner;
                if (subject != PW_ID_CORE || !key) return 0;
                std::lock_guard guard(c->lock_);
                if (!m->settings && std::strcmp(key, "default.audio.sink") == 0) {
                    c->graph_.defaultSink = jsonName(value);
                } else if (m->settings && std::strcmp(key, "clock.rate") == 0) {
                    l->clockRate = value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : 0;
                } else if (m->settings && std::strcmp(key, "clock.force-rate") == 0) {
                    l->forcedRate = value ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : 0;
                } else {
                    return 0;
                }
                const uint32_t rate = l->forcedRate ? l->forcedRate : l->clockRate;
                if (rate == 0 || rate == c->graph_.rate) return 0;
                c->graph_.rate = rate;
                if (c->seen_ && c->handler_) c->handler_(Change::rateChanged, 0, c->graph_);
                return 0;
            };
            return e;
        }();

        static const pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
                auto* l = static_cast<Listeners*>(data);
                Connection* c = l->owner;
                std::optional<Change> change;
                {
                    std::lock_guard guard(c->lock_);
                    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
                        std::string description = text(props, PW_KEY_NODE_DESCRIPTION);
                        std::string name = text(props, PW_KEY_NODE_NAME);
                        if (description.empty()) description = name;
                        c->graph_.nodes.push_back(
                            Node{id, std::move(name), std::move(description), text(props, PW_KEY_MEDIA_CLASS)});
                        change = Change::nodeAdded;
                    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
                        const std::string dsp = text(props, PW_KEY_FORMAT_DSP);
                        if (!dsp.empty() && dsp.find("audio") == std::string::npos) return;  // MIDI, video
                        c->graph_.ports.push_back(Port{id, number(props, PW_KEY_NODE_ID), number(props, PW_KEY_PORT_ID),
                                                       text(props, PW_KEY_PORT_NAME), text(props, PW_KEY_AUDIO_CHANNEL),
                                                       text(props, PW_KEY_PORT_DIRECTION) == "in",
                                                       text(props, PW_KEY_PORT_MONITOR) == "true"});
                        change = Change::portAdded;
                    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
                        c->graph_.links.push_back(Link{id, number(props, PW_KEY_LINK_OUTPUT_NODE),
                                                       number(props, PW_KEY_LINK_OUTPUT_PORT),
                                                       number(props, PW_KEY_LINK_INPUT_NODE),
                                                       number(props, PW_KEY_LINK_INPUT_PORT)});
                        change = Change::linkAdded;
                    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
                        const std::string which = text(props, PW_KEY_METADATA_NAME);
                        if (which != "default" && which != "settings") return;
                        auto m = std::make_unique<Listeners::Metadata>();
                        m->listeners = l;
                        m->settings = which == "settings";
                        m->proxy = static_cast<pw_proxy*>(
                            pw_registry_bind(c->registry_, id, type, PW_VERSION_METADATA, 0));
                        if (!m->proxy) return;
                        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(m->proxy), &m->hook,
                                                 &metadataEvents, m.get());
                        l->metadata.push_back(std::move(m));
                        return;
                    } else {
                        return;
                    }
                }
                c->changed(*change, id);
            };
            e.global_remove = [](void* data, uint32_t id) {
                auto* l = static_cast<Listeners*>(data);
                Connection* c = l->owner;
                std::optional<Change> change;
                {
                    std::lock_guard guard(c->lock_);
                    Graph& g = c->graph_;
                    if (std::erase_if(g.nodes, [&](const Node& n) { return n.id == id; })) change = Change::nodeRemoved;
                    if (std::erase_if(g.ports, [&](const Port& p) { return p.id == id; })) change = Change::portRemoved;
                    if (std::erase_if(g.links, [&](const Link& k) { return k.id == id; })) change = Change::linkRemoved;
                }
                if (change) c->changed(*change, id);
            };
            return e;
        }();
        c->registry_ = pw_core_get_registry(c->core_, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(c->registry_, &c->listeners_->registry, &registryEvents, c->listeners_.get());
    }
    // The first answer brings every object; the second, the metadata's values.
    if (!c->sync() || !c->sync()) return nullptr;
    {
        std::lock_guard guard(c->lock_);
        c->seen_ = true;
    }
    return c;
}

void Connection::waitForDataLoop() const {
    pw_data_loop_invoke(pw_context_get_data_loop(context_),
                        [](spa_loop*, bool, uint32_t, const void*, size_t, void*) { return 0; }, 0, nullptr, 0, true,
                        nullptr);
}

bool Connection::sync() {
    Lock lock(*this);
    if (lost_.load()) return false;
    pending_ = pw_core_sync(core_, PW_ID_CORE, pending_);
    const int wanted = pending_;
    return waitUntil([&] { return done_ >= wanted; }) && !lost_.load();
}

Connection::~Connection() {
    if (loop_) {
        {
            Lock lock(*this);
            if (listeners_) {
                for (auto& m : listeners_->metadata) pw_proxy_destroy(m->proxy);
                listeners_->metadata.clear();
            }
            if (registry_) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
            if (core_) pw_core_disconnect(core_);
        }
        pw_thread_loop_stop(loop_);
    }
    if (context_) pw_context_destroy(context_);
    if (loop_) pw_thread_loop_destroy(loop_);
}

int channelPosition(const std::string& name) {
    for (const spa_type_info* t = spa_type_audio_channel; t->name; ++t) {
        const char* shortName = std::strrchr(t->name, ':');
        if (shortName && name == shortName + 1 && t->type != SPA_AUDIO_CHANNEL_UNKNOWN) return static_cast<int>(t->type);
    }
    return -1;
}

}  // namespace qm::pipewire
