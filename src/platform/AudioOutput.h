// Audio output: the machine's playback devices and a real-time output
// stream bound to one of them.
//
// A device is the set of physical playback ports of one client of the sound
// server (JACK, or PipeWire through its JACK layer), in the server's order.
// When no server answers, the built-in null output stands in: a thread that
// pulls the render function at 48 kHz in 256-frame blocks and drops the
// result, so that playback runs (and can be tested) without sound hardware.
//
// Threads: list() and open() are for the main thread. The render function is
// called on a real-time thread, never with more than kMaxRenderFrames
// frames (longer server periods are rendered in chunks). The change handler
// is called on a server notification thread, at most once per stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm {

// The most frames one render call carries: every stage of the render path
// (render context, binaural renderer) sizes its scratch buffers for it, and
// the output cuts longer server periods into calls of at most this many.
inline constexpr uint32_t kMaxRenderFrames = 4096;

// One output device as the sound server lists it.
struct OutputEndpoint {
    std::string uid;                 // stable identity: "jack:<client>", or "null"
    std::string name;                // display name
    std::vector<std::string> ports;  // server port names in order; empty for the null output
    int channels = 0;                // number of playback channels, at least 1
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
    // What the status line shows, e.g. "JACK: system" or "Silent output (no sound server)".
    virtual const std::string& description() const = 0;
    // Starts the callbacks (and connects the ports; the render function is
    // called only once every port reaches the device). Throws AppError on
    // failure.
    virtual void start() = 0;
    // Stops the callbacks; when it returns none runs and none will run until start().
    virtual void pause() = 0;
    virtual bool isRunning() const = 0;
    // Cycles the server reported as missed (xruns), or blocks the null
    // output rendered late, since the stream was opened.
    virtual int64_t xruns() const = 0;
    // The longest time one callback spent rendering, in seconds, and the
    // period it had (the server's buffer, or the null output's block).
    // longestRender() is wall-clock time, which includes whatever preempted
    // the thread; longestRenderCPU() is the thread's own CPU time in the
    // callback, which only the render code controls.
    virtual double longestRender() const = 0;
    virtual double longestRenderCPU() const = 0;
    virtual double period() const = 0;
    // Callbacks completed since the stream was opened, and the render
    // thread's CPU time in all of them, in seconds.
    virtual int64_t callbacks() const = 0;
    virtual double renderCPU() const = 0;
};

namespace AudioOutputs {

inline constexpr const char* nullUID = "null";

// The server's playback devices in its order, or the null output alone when
// no server answers or the server has no playback ports. Read afresh on
// every call.
std::vector<OutputEndpoint> list();

// Opens a stream on `device` with one channel per device port. Nothing is
// rendered before start(). `onChange` reports that the device lost or gained
// ports, the server changed its rate, or the server went away.
// Throws AppError(status, "Couldn't open the output device") on failure.
std::unique_ptr<AudioOutput> open(const OutputEndpoint& device, OutputRenderFn render,
                                  void* user, std::function<void()> onChange);

}  // namespace AudioOutputs

}  // namespace qm
