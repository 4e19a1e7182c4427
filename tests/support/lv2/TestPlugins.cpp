// Small LV2 plug-ins for the insert tests, one binary for the bundle
// "quillmarsh-test.lv2" (manifest.ttl beside it):
// - gain: mono, output = input * the "gain" control; needs the URID map,
//   reads an event input that must hold a well-formed sequence (else it
//   outputs silence), and keeps the number of blocks it ran as its state;
// - delay: stereo, each channel delayed by `delayFrames`, reported as latency;
// - broken: its instantiation fails;
// - nan: mono pass-through whose output is NaN from its tenth block on;
// - two gains named so that manufacturer and name join into equal texts;
// - xerror, xerror-later: the gain again, for the UIs that cause an X error;
// - preset: mono, output = input * its "level" property, 0 until its
//   default state (level 0.25, which it asks the host to load) is restored.
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr uint32_t delayFrames = 100;
constexpr const char* runsKey = "urn:quillmarsh:test:runs";

struct Gain {
    const float* gain = nullptr;
    const LV2_Atom_Sequence* events = nullptr;
    const float* in = nullptr;
    float* out = nullptr;
    LV2_URID sequence = 0, runsURID = 0, longURID = 0;
    // Saved while it runs on another thread.
    std::atomic<int64_t> runs{0};
};

LV2_Handle gainMake(const LV2_Descriptor*, double, const char*, const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    for (int i = 0; features && features[i]; ++i)
        if (!std::strcmp(features[i]->URI, LV2_URID__map)) map = static_cast<const LV2_URID_Map*>(features[i]->data);
    if (!map) return nullptr;
    auto* g = new (std::nothrow) Gain;
    if (!g) return nullptr;
    g->sequence = map->map(map->handle, LV2_ATOM__Sequence);
    g->runsURID = map->map(map->handle, runsKey);
    g->longURID = map->map(map->handle, LV2_ATOM__Long);
    return g;
}

void gainConnect(LV2_Handle h, uint32_t port, void* data) {
    auto* g = static_cast<Gain*>(h);
    switch (port) {
        case 0: g->gain = static_cast<const float*>(data); break;
        case 1: g->events = static_cast<const LV2_Atom_Sequence*>(data); break;
        case 2: g->in = static_cast<const float*>(data); break;
        case 3: g->out = static_cast<float*>(data); break;
        default: break;
    }
}

void gainRun(LV2_Handle h, uint32_t frames) {
    auto* g = static_cast<Gain*>(h);
    ++g->runs;
    const bool wellFormed = g->events && g->events->atom.type == g->sequence &&
                            g->events->atom.size == sizeof(LV2_Atom_Sequence_Body);
    const float k = wellFormed ? *g->gain : 0.0f;
    for (uint32_t t = 0; t < frames; ++t) g->out[t] = g->in[t] * k;
}

void cleanup(LV2_Handle h) { delete static_cast<Gain*>(h); }

LV2_State_Status gainSave(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle sh, uint32_t,
                          const LV2_Feature* const*) {
    auto* g = static_cast<Gain*>(h);
    const int64_t runs = g->runs.load();
    return store(sh, g->runsURID, &runs, sizeof runs, g->longURID, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status gainRestore(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle sh, uint32_t,
                             const LV2_Feature* const*) {
    auto* g = static_cast<Gain*>(h);
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* v = retrieve(sh, g->runsURID, &size, &type, &flags);
    int64_t runs = 0;
    if (v && size == sizeof runs && type == g->longURID) {
        std::memcpy(&runs, v, sizeof runs);
        g->runs.store(runs);
    }
    return LV2_STATE_SUCCESS;
}

const void* gainExtension(const char* uri) {
    static const LV2_State_Interface state{gainSave, gainRestore};
    return std::strcmp(uri, LV2_STATE__interface) ? nullptr : &state;
}

struct Delay {
    const float* in[2] = {};
    float* out[2] = {};
    float* latency = nullptr;
    float line[2][delayFrames] = {};
    uint32_t at = 0;
};

LV2_Handle delayMake(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) {
    return new (std::nothrow) Delay;
}

void delayConnect(LV2_Handle h, uint32_t port, void* data) {
    auto* d = static_cast<Delay*>(h);
    if (port < 2) d->in[port] = static_cast<const float*>(data);
    else if (port < 4) d->out[port - 2] = static_cast<float*>(data);
    else d->latency = static_cast<float*>(data);
}

void delayActivate(LV2_Handle h) {
    auto* d = static_cast<Delay*>(h);
    std::memset(d->line, 0, sizeof d->line);
    d->at = 0;
}

void delayRun(LV2_Handle h, uint32_t frames) {
    auto* d = static_cast<Delay*>(h);
    for (uint32_t t = 0; t < frames; ++t) {
        for (int c = 0; c < 2; ++c) {
            const float v = d->in[c][t];
            d->out[c][t] = d->line[c][d->at];
            d->line[c][d->at] = v;
        }
        d->at = (d->at + 1) % delayFrames;
    }
    if (d->latency) *d->latency = static_cast<float>(delayFrames);
}

void delayCleanup(LV2_Handle h) { delete static_cast<Delay*>(h); }

LV2_Handle brokenMake(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) { return nullptr; }

struct Faulty {
    const float* in = nullptr;
    float* out = nullptr;
    int runs = 0;
};

LV2_Handle faultyMake(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) {
    return new (std::nothrow) Faulty;
}

void faultyConnect(LV2_Handle h, uint32_t port, void* data) {
    auto* f = static_cast<Faulty*>(h);
    if (port == 0) f->in = static_cast<const float*>(data);
    else f->out = static_cast<float*>(data);
}

void faultyRun(LV2_Handle h, uint32_t frames) {
    auto* f = static_cast<Faulty*>(h);
    const bool bad = ++f->runs >= 10;
    for (uint32_t t = 0; t < frames; ++t)
        f->out[t] = bad && t == frames / 2 ? std::numeric_limits<float>::quiet_NaN() : f->in[t];
}

void faultyCleanup(LV2_Handle h) { delete static_cast<Faulty*>(h); }

struct Preset {
    const float* in = nullptr;
    float* out = nullptr;
    LV2_URID levelURID = 0, floatURID = 0;
    float level = 0.0f;
};

LV2_Handle presetMake(const LV2_Descriptor*, double, const char*, const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    for (int i = 0; features && features[i]; ++i)
        if (!std::strcmp(features[i]->URI, LV2_URID__map)) map = static_cast<const LV2_URID_Map*>(features[i]->data);
    if (!map) return nullptr;
    auto* p = new (std::nothrow) Preset;
    if (!p) return nullptr;
    p->levelURID = map->map(map->handle, "urn:quillmarsh:test:level");
    p->floatURID = map->map(map->handle, LV2_ATOM__Float);
    return p;
}

void presetConnect(LV2_Handle h, uint32_t port, void* data) {
    auto* p = static_cast<Preset*>(h);
    if (port == 0) p->in = static_cast<const float*>(data);
    else p->out = static_cast<float*>(data);
}

void presetRun(LV2_Handle h, uint32_t frames) {
    auto* p = static_cast<Preset*>(h);
    for (uint32_t t = 0; t < frames; ++t) p->out[t] = p->in[t] * p->level;
}

void presetCleanup(LV2_Handle h) { delete static_cast<Preset*>(h); }

LV2_State_Status presetSave(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle sh, uint32_t,
                            const LV2_Feature* const*) {
    auto* p = static_cast<Preset*>(h);
    return store(sh, p->levelURID, &p->level, sizeof p->level, p->floatURID, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status presetRestore(LV2_Handle h, LV2_State_Retrieve_Function retrieve, LV2_State_Handle sh, uint32_t,
                               const LV2_Feature* const*) {
    auto* p = static_cast<Preset*>(h);
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* v = retrieve(sh, p->levelURID, &size, &type, &flags);
    if (v && size == sizeof p->level && type == p->floatURID) std::memcpy(&p->level, v, sizeof p->level);
    return LV2_STATE_SUCCESS;
}

const void* presetExtension(const char* uri) {
    static const LV2_State_Interface state{presetSave, presetRestore};
    return std::strcmp(uri, LV2_STATE__interface) ? nullptr : &state;
}

void nothing(LV2_Handle) {}
const void* noExtension(const char*) { return nullptr; }

const LV2_Descriptor descriptors[] = {
    {"urn:quillmarsh:test:gain", gainMake, gainConnect, nothing, gainRun, nothing, cleanup, gainExtension},
    {"urn:quillmarsh:test:delay", delayMake, delayConnect, delayActivate, delayRun, nothing, delayCleanup,
     noExtension},
    {"urn:quillmarsh:test:broken", brokenMake, faultyConnect, nothing, faultyRun, nothing, faultyCleanup,
     noExtension},
    {"urn:quillmarsh:test:nan", faultyMake, faultyConnect, nothing, faultyRun, nothing, faultyCleanup, noExtension},
    {"urn:quillmarsh:test:acme-q", gainMake, gainConnect, nothing, gainRun, nothing, cleanup, gainExtension},
    {"urn:quillmarsh:test:ac-meq", gainMake, gainConnect, nothing, gainRun, nothing, cleanup, gainExtension},
    {"urn:quillmarsh:test:xerror", gainMake, gainConnect, nothing, gainRun, nothing, cleanup, gainExtension},
    {"urn:quillmarsh:test:xerror-later", gainMake, gainConnect, nothing, gainRun, nothing, cleanup, gainExtension},
    {"urn:quillmarsh:test:preset", presetMake, presetConnect, nothing, presetRun, nothing, presetCleanup,
     presetExtension},
};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < sizeof descriptors / sizeof descriptors[0] ? &descriptors[index] : nullptr;
}
