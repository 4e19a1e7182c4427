// LV2 effect plug-ins, hosted for the live monitor's inserts.
//
// One lilv world per process, loaded on first use from the standard
// places and LV2_PATH. Offered are plug-ins with at least one audio input
// and one audio output whose required features we provide: URID map and
// unmap, options (block lengths, the nominal block length, sample rate),
// bounded block lengths, the worker (work:schedule), state paths (mapPath,
// freePath) and the default state (loadDefaultState), plus the two that ask
// nothing of a host: in-place broken, since inputs and outputs never share a
// buffer here, and hard real-time capable.
//
// An Lv2Unit is one insert: the plug-in, its control values (one atomic per
// port, copied into the instances at the start of each block), its bypass,
// the files chosen for its path parameters (given as patch:Set, or through
// the plug-in's state where its worker refuses those; the file each
// instance has is read back from its patch:Set and patch:Put
// notifications), and the plug-in's own state, which goes from one set of
// instances to the next. Lv2Instances are the
// instances of one unit for one stream's shape: a plug-in with N audio
// inputs and N outputs runs once on N channels, a mono one once per channel;
// any other shape cannot go on that output (Lv2Host::fits). A unit makes
// new instances for every chain it is put in, so a chain can be built while
// the previous one still runs.
//
// The worker: a plug-in's work:schedule requests from its run() go through
// a ring to a thread of the instances' own, its responses back through
// another ring, delivered after the next run(); work a plug-in asks for
// from a restore while its instances run goes to the same thread through a
// ring of its own. While instances are being set up (before live()) work
// runs at once on the calling thread, so a plug-in that loads a file on
// restore has it loaded before its first block on the audio thread.
//
// A block whose output holds a non-finite sample is replaced by its input,
// and the unit bypasses itself from then on; failed() tells the main thread.
//
// Lv2X11Ui embeds a plug-in's own X11 UI (over suil, host and UI both of
// type X11UI, so nothing is wrapped) in a native window of ours: its idle
// callback is driven by the caller, the UI's control writes go to the
// unit, and control values changed elsewhere are sent to it. From the first
// UI on, Xlib's error handler is ours for the whole process: an X error a UI
// causes, in a call into it or at any other time (on a thread of its own,
// on a connection of its own), is recorded (error(), idle() false) instead
// of ending the process.
//
// Threads: everything but Lv2Instances::process() is for the main thread
// (lilv is not thread-safe). process() runs on one thread at a time (the
// main thread until live(), then one real-time thread) and neither
// allocates, locks nor calls the system, except to wake the worker when the
// plug-in schedules work.
#pragma once

#include "platform/AudioOutput.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qm {

// The plug-in's LV2 class, as the add menu groups plug-ins.
enum class Lv2Category { eq, filter, dynamics, reverb, delay, distortion, modulation, spatial, spectral, utility, other };

struct Lv2Plugin {
    std::string uri;
    std::string name;
    std::string manufacturer;  // the author's name, else the project's
    int audioInputs = 0;
    int audioOutputs = 0;
    Lv2Category category = Lv2Category::other;

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

// A parameter the plug-in takes a file for (patch:writable, of range
// atom:Path), such as a convolver's impulse response.
struct Lv2FileParameter {
    std::string uri;
    std::string label;
};

// What goes from one set of instances to the next.
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

// The plug-ins that can be inserted, in the world's order.
std::vector<Lv2Plugin> plugins();
// The plug-in of that URI among plugins(), or none.
const Lv2Plugin* find(const std::string& uri);
// Whether the plug-in can run on an output of `channels` channels: as
// many inputs and outputs as channels, or one of each (once per channel).
bool fits(const Lv2Plugin& plugin, int channels);

}  // namespace Lv2Host

class Lv2Instances;

class Lv2Unit {
public:
    // The unit with its first instances (latest()). Throws AppError when
    // the plug-in is unknown, does not fit the channels, or cannot be
    // instantiated.
    Lv2Unit(const Lv2Plugin& plugin, int channels, double rate, uint32_t block = kMaxRenderFrames);
    ~Lv2Unit();
    Lv2Unit(const Lv2Unit&) = delete;
    Lv2Unit& operator=(const Lv2Unit&) = delete;

    const Lv2Plugin& plugin() const { return plugin_; }

    // New instances for `channels` at `rate`, run in blocks of `block`
    // frames (at most kMaxRenderFrames), with the controls, the files and
    // the plug-in's own state of the latest instances (which may be running
    // meanwhile); they become the latest. Throws AppError as the
    // constructor does; the latest then stay as they were, unless nothing
    // else held them: those are gone, and their state waits for the next
    // instances.
    std::shared_ptr<Lv2Instances> instantiate(int channels, double rate, uint32_t block);
    const std::shared_ptr<Lv2Instances>& latest() const { return latest_; }

    // The control inputs, in port order, and their current values.
    const std::vector<Lv2ControlPort>& controls() const { return controls_; }
    float control(size_t i) const;
    void setControl(size_t i, float value);

    // The file parameters and the files chosen for them (empty: none yet).
    const std::vector<Lv2FileParameter>& fileParameters() const { return files_; }
    const std::string& file(size_t i) const;
    // Gives the file to the latest instances and to every later one: as a
    // patch:Set at their next block, or, once the plug-in's worker refused
    // one, through the plug-in's state (restored from this thread; into
    // running instances only where the plug-in restores thread-safely).
    void setFile(size_t i, const std::string& path);
    // The file the latest instances say they have for file parameter `i`
    // (a patch:Set or patch:Put of it on their outputs), once every
    // instance has said the same; empty until then. While that is not the
    // chosen file, each call asks the instances again (patch:Get).
    std::string loadedFile(size_t i);

    bool bypassed() const;
    void setBypassed(bool on);
    // A block failed (non-finite output) since the last instances were made;
    // the unit has bypassed itself.
    bool failed() const;
    // Frames by which the latest instances delay their input, as last reported.
    uint32_t latency() const;

    // The controls and the plug-in's own state, as instantiate() carries them.
    Lv2State state() const;

    // What the unit's instances share with it, and keep alive.
    struct Shared;

private:
    Lv2Plugin plugin_;
    std::vector<Lv2ControlPort> controls_;
    std::vector<Lv2FileParameter> files_;
    std::vector<std::string> chosen_;  // by file parameter
    std::vector<std::vector<std::string>> reported_;  // by instance, by file parameter
    bool stateful_ = false;      // the plug-in has a state interface
    bool restoresLive_ = false;  // ... which it allows while it runs
    Lv2State withFiles(Lv2State s) const;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Lv2Instances> latest_;
    std::optional<Lv2State> parked_;
};

// The instances of one unit for one shape, rate and block length.
class Lv2Instances {
public:
    ~Lv2Instances();
    Lv2Instances(const Lv2Instances&) = delete;
    Lv2Instances& operator=(const Lv2Instances&) = delete;

    int channels() const { return channels_; }
    double sampleRate() const { return rate_; }
    // The block length they were made for, the longest they are given.
    uint32_t block() const { return block_; }
    int count() const { return static_cast<int>(instances_.size()); }
    // Frames by which the plug-in delays its input, as it last reported.
    uint32_t latency() const { return latency_.load(std::memory_order_relaxed); }

    // Main thread, once, before the first block on another thread: work is
    // from now on done on the instances' worker thread.
    void live();
    bool isLive() const { return live_; }

    // One block of at most kMaxRenderFrames frames, `channels()` channels,
    // from `in` to `out` (distinct buffers); one longer than the instances'
    // block length runs in pieces of that length.
    void process(const float* const* in, float* const* out, uint32_t frames) noexcept;

private:
    friend class Lv2Unit;
    struct Instance;
    struct Worker;
    Lv2Instances();
    void run(const float* const* in, float* const* out, uint32_t frames, bool settling) noexcept;
    void send(const std::vector<uint8_t>& message);
    void restore(const Lv2State& s);
    void restore(Instance& in, const Lv2State& s, bool running);
    void offer(const Lv2State& files);
    void verdict(Instance& in, int status);
    void report(const Instance& inst) noexcept;
    void settle();

    std::shared_ptr<Lv2Unit::Shared> shared_;
    int channels_ = 0;
    double rate_ = 0.0;
    uint32_t block_ = kMaxRenderFrames;
    std::vector<std::unique_ptr<Instance>> instances_;
    std::unique_ptr<Worker> worker_;
    std::atomic<uint32_t> latency_{0};
    bool live_ = false;
};

// A plug-in's X11 UI inside a native window.
class Lv2X11Ui {
public:
    // Whether the plug-in has an X11 UI.
    static bool available(const Lv2Plugin& plugin);
    // Makes the UI as a child of the X window `parent`, for `unit`. Throws
    // AppError when there is none, it cannot be made, or it caused an X
    // error while being made.
    Lv2X11Ui(std::shared_ptr<Lv2Unit> unit, unsigned long parent);
    ~Lv2X11Ui();
    Lv2X11Ui(const Lv2X11Ui&) = delete;
    Lv2X11Ui& operator=(const Lv2X11Ui&) = delete;

    // The UI's own window and its size.
    unsigned long window() const { return window_; }
    std::pair<int, int> size() const;
    // Sends the UI the control values that changed since the last call,
    // then runs its idle callback. False once the UI asked to be closed or
    // caused an X error (also one raised between calls: see above).
    bool idle();
    // The first X error the UI caused (its error code), 0 while none.
    int error() const { return error_; }

private:
    static void write(void* controller, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer);
    // Runs `call` with X errors trapped as the UI's, keeping the first.
    template <class F>
    void guarded(F&& call) const;
    void claimErrors() const;

    std::shared_ptr<Lv2Unit> unit_;
    struct Suil;
    std::unique_ptr<Suil> suil_;
    unsigned long window_ = 0;
    std::vector<float> sent_;
    mutable int error_ = 0;
    mutable uint64_t seen_ = 0;  // errors raised outside calls into a UI, when last looked at
};

}  // namespace qm
