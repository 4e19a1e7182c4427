// LV2 effect plug-ins, hosted for the live monitor's inserts.
//
// One lilv world per process, loaded on first use from the standard
// places and LV2_PATH. Offered are plug-ins with at least one audio input
// and one audio output whose required features we provide: URID map and
// unmap, options (block lengths, sample rate) and bounded block lengths
// (plus the two that ask nothing of a host: in-place broken, since inputs
// and outputs never share a buffer here, and hard real-time capable).
//
// An Lv2Unit is one insert's processing on an output of N channels: a
// plug-in with N audio inputs and N outputs runs once, a mono one once per
// channel; any other shape cannot go on that output. Control inputs start
// at their defaults; the main thread changes them through one atomic per
// port, copied into the plug-in at the start of each block. Atom ports get
// an empty sequence per block, CV ports silence. The unit remembers its
// controls, its bypass and the plug-in's own state (state interface), so
// prepare() can make the instances again at another rate or channel count.
//
// A block whose output holds a non-finite sample is replaced by its input,
// and the unit bypasses itself from then on; failed() tells the main thread.
//
// Lv2X11Ui embeds a plug-in's own X11 UI (over suil, host and UI both of
// type X11UI, so nothing is wrapped) in a native window of ours: its idle
// callback is driven by the caller, the UI's control writes go to the
// unit, and control values changed elsewhere are sent to it.
//
// Threads: everything but process() is for the main thread (lilv is not
// thread-safe), and prepare() only while no block runs. process() runs on
// one real-time thread at a time and neither allocates, locks nor calls
// the system.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm {

struct Lv2Plugin {
    std::string uri;
    std::string name;
    std::string manufacturer;  // the author's name, else the project's
    int audioInputs = 0;
    int audioOutputs = 0;

    bool operator==(const Lv2Plugin&) const = default;
};

struct Lv2ControlPort {
    uint32_t index = 0;
    std::string symbol;
    std::string name;
    float minimum = 0.0f;
    float maximum = 1.0f;
    float defaultValue = 0.0f;
    bool toggled = false;
    bool integer = false;
    bool logarithmic = false;
    // Set for an enumeration: the values offered and their labels, by value.
    std::vector<std::pair<float, std::string>> choices;
};

// What prepare() carries from one instance to the next.
struct Lv2State {
    struct Property {
        std::string key;  // the property's URI
        std::string type;
        std::vector<uint8_t> value;
        uint32_t flags = 0;
    };
    std::vector<float> controls;  // by control input, in port order
    std::vector<Property> properties;
};

namespace Lv2Host {

constexpr uint32_t maxBlock = 4096;

// The plug-ins that can be inserted, in the world's order.
std::vector<Lv2Plugin> plugins();
// The plug-in of that URI among plugins(), or none.
const Lv2Plugin* find(const std::string& uri);

}  // namespace Lv2Host

class Lv2Unit {
public:
    // Instances of `plugin` for `channels` channels at `rate`, activated.
    // Throws AppError when the plug-in is unknown, does not fit the
    // channels, or cannot be instantiated.
    Lv2Unit(const Lv2Plugin& plugin, int channels, double rate);
    ~Lv2Unit();
    Lv2Unit(const Lv2Unit&) = delete;
    Lv2Unit& operator=(const Lv2Unit&) = delete;

    const Lv2Plugin& plugin() const { return plugin_; }
    // Only while no block runs: instances for `channels` at `rate`, with the
    // controls and the plug-in's state carried over (a reset at the same
    // shape and rate). Throws AppError as the constructor does; the unit
    // then copies its input through until a prepare() succeeds.
    void prepare(int channels, double rate);
    bool ready() const { return !instances_.empty(); }
    int channels() const { return channels_; }
    double sampleRate() const { return rate_; }
    int instances() const { return static_cast<int>(instances_.size()); }

    // The control inputs, in port order, and their current values.
    const std::vector<Lv2ControlPort>& controls() const { return controls_; }
    float control(size_t i) const;
    void setControl(size_t i, float value);

    bool bypassed() const { return bypass_.load(std::memory_order_relaxed); }
    void setBypassed(bool on) { bypass_.store(on, std::memory_order_relaxed); }
    // A block failed (non-finite output) since the last prepare(); the unit
    // has bypassed itself.
    bool failed() const { return failed_.load(std::memory_order_acquire); }
    // Frames by which the plug-in delays its input, as it last reported.
    uint32_t latency() const;

    // The controls and the plug-in's own state, as prepare() carries them.
    Lv2State state() const;

    // One block of at most Lv2Host::maxBlock frames, `channels()` channels,
    // from `in` to `out` (distinct buffers).
    void process(const float* const* in, float* const* out, uint32_t frames) noexcept;

private:
    struct Instance;
    void make(int channels, double rate, const Lv2State* state);
    void release();

    Lv2Plugin plugin_;
    int channels_ = 0;
    double rate_ = 0.0;
    std::vector<Lv2ControlPort> controls_;
    std::unique_ptr<std::atomic<float>[]> values_;
    std::vector<std::unique_ptr<Instance>> instances_;
    std::atomic<bool> bypass_{false};
    std::atomic<bool> failed_{false};
    std::atomic<uint32_t> latency_{0};
};

// A plug-in's X11 UI inside a native window.
class Lv2X11Ui {
public:
    // Whether the plug-in has an X11 UI.
    static bool available(const Lv2Plugin& plugin);
    // Makes the UI as a child of the X window `parent`, for `unit`. Throws
    // AppError when there is none or it cannot be made.
    Lv2X11Ui(std::shared_ptr<Lv2Unit> unit, unsigned long parent);
    ~Lv2X11Ui();
    Lv2X11Ui(const Lv2X11Ui&) = delete;
    Lv2X11Ui& operator=(const Lv2X11Ui&) = delete;

    // The UI's own window and its size.
    unsigned long window() const { return window_; }
    std::pair<int, int> size() const;
    // Sends the UI the control values that changed since the last call,
    // then runs its idle callback. False once the UI asked to be closed.
    bool idle();

private:
    static void write(void* controller, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer);

    std::shared_ptr<Lv2Unit> unit_;
    struct Suil;
    std::unique_ptr<Suil> suil_;
    unsigned long window_ = 0;
    std::vector<float> sent_;
};

}  // namespace qm
