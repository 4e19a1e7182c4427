// Audio output: the machine's playback devices and a real-time output
// stream bound to one of them.
//
// The devices come from the first sound system that answers, asked afresh
// on every list(): a JACK server (a device is the set of physical playback
// ports of one client, in the server's order; professional set-ups keep
// their graph); else a PipeWire daemon (a device is one audio sink, the
// default sink first, its channels and their positions from the sink's
// ports; the stream's positions are the sink's, so the session manager
// links it channel for channel); else ALSA's "default" device (which
// PulseAudio systems route to their server; stereo, or the channel count it
// accepts, with the positions of its channel map when it has a fixed one);
// else the built-in silent output, a thread that pulls the render function
// at 48 kHz in 256-frame blocks and drops the result, so that playback runs
// (and can be tested) without sound.
//
// Threads: list() and open() are for the main thread. The render function is
// called on a real-time thread, never with more than kMaxRenderFrames
// frames (longer server periods are rendered in chunks). The change handler
// is called on a sound-system thread, at most once per stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The most frames one render call carries: every stage of the render path
// (render context, binaural renderer) sizes its scratch buffers for it, and
// the output cuts longer server periods into calls of at most this many.
inline constexpr uint32_t kMaxRenderFrames = 4096;

// One output device as its sound system lists it.
struct OutputEndpoint {
    // Stable identity: "jack:<client>", "pw:<node.name>", "alsa:default" or "null".
    std::string uid;
    // Display name, naming the system: "JACK: system", "PipeWire: Built-in
    // Audio Analog Stereo", "ALSA: default".
    std::string name;
    std::vector<std::string> ports;  // port names in order (JACK, PipeWire); else empty
    int channels = 0;                // number of playback channels, at least 1
    // Where each channel plays, as the system names it ("FL", "TRL"), when
    // it says (PipeWire; ALSA's fixed channel map); else empty.
    std::vector<std::string> positions = {};
    // The rate the system runs the device at, when it says (JACK, PipeWire);
    // else 0.
    double rate = 0;
};

// Fills `channelCount` planar buffers with `frames` frames. Real-time thread.
using OutputRenderFn = void (*)(void* user, uint32_t frames, float* const* channels,
                                uint32_t channelCount);

class AudioOutput {
public:
    static constexpr int maxChannels = 256;

    virtual ~AudioOutput() = default;

    virtual int channels() const = 0;
    virtual double sampleRate() const = 0;
    // What the status line shows: the device's name, e.g. "JACK: system" or
    // "Silent output (no sound device)".
    virtual const std::string& description() const = 0;
    // Starts the callbacks (and connects the ports; the render function is
    // called only once every port reaches the device). Throws AppError on
    // failure.
    virtual void start() = 0;
    // Stops the callbacks; when it returns none runs and none will run until start().
    virtual void pause() = 0;
    virtual bool isRunning() const = 0;
    // How many callbacks' worth of rendered frames the output holds before
    // the device plays them: what pause() would drop. A stream that is to
    // end on its last rendered frames runs this many callbacks more.
    virtual int queuedPeriods() const { return 1; }
    // Cycles the server reported as missed (xruns), or blocks the null
    // output rendered late, since the stream was opened.
    virtual int64_t xruns() const = 0;
    // The longest time one callback spent rendering, in seconds, and the
    // period it had (the server's buffer, or the null output's block).
    // longestRender() is wall-clock time, which includes whatever preempted
    // the thread; longestRenderCPU() is the thread's own CPU time in the
    // callback. That is mostly the render code's, but not only: the
    // kernel's work (interrupts, reclaim) and, in a virtual machine, the
    // host holding the virtual CPU land on whichever thread runs, so a
    // single callback can show tens of milliseconds the code never spent.
    virtual double longestRender() const = 0;
    virtual double longestRenderCPU() const = 0;
    virtual double period() const = 0;
    // Callbacks completed since the stream was opened, and the render
    // thread's CPU time in all of them, in seconds.
    virtual int64_t callbacks() const = 0;
    virtual double renderCPU() const = 0;
    // The thread CPU time all but `fraction` of the callbacks stayed under
    // (e.g. 0.001: 99.9% of them), in seconds, to 10 us; what the render
    // code costs, with the rare callback the machine stalled left out.
    virtual double renderCPUUnder(double fraction) const = 0;
};

namespace AudioOutputs {

inline constexpr const char* nullUID = "null";

// The playback devices of the first system that answers, in its order (the
// default first), or the null output alone when none answers or the one
// that answers has no playback device. Read afresh on every call.
std::vector<OutputEndpoint> list();

// The place of device `uid`'s system in the order the systems are asked:
// 0 JACK, 1 PipeWire, 2 ALSA, 3 the silent output (or an unknown UID).
int rank(const std::string& uid);

// The playback devices of the first system ranked above that of device
// `uid` that answers now with one at least, as list() would give them;
// none when no such system does. Only those systems are asked (for a JACK
// device, none; asking a JACK server that is not there takes milliseconds).
std::optional<std::vector<OutputEndpoint>> listAbove(const std::string& uid);

// Opens a stream on `device` with one channel per device channel. Nothing
// is rendered before start(). `onChange` reports that the device lost or
// gained channels or went away, a device was added (PipeWire), the system
// changed its rate, or the system went away. Throws AppError(status,
// "Couldn't open the output device") on failure; code 10 for a device this
// system cannot play to (no channels, more than it can carry, channels
// without positions).
std::unique_ptr<AudioOutput> open(const OutputEndpoint& device, OutputRenderFn render,
                                  void* user, std::function<void()> onChange);

}  // namespace AudioOutputs

}  // namespace qm
