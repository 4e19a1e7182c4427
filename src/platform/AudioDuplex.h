// The live monitor's audio path: the sources a bus can arrive from, and one
// duplex stream that hands the process function the source's samples and
// the output device's buffers of the same cycle.
//
// The monitor runs on the system the outputs come from (see AudioOutput.h),
// JACK or PipeWire; ALSA alone has none. On JACK a source is one client's
// audio output ports, in order (a device's capture ports, or a
// workstation's outputs), UID "jack:<client>", and the stream is one client,
// "Quillmarsh Monitor". On PipeWire a source is any other node that
// produces audio (capture devices and application streams), UID
// "pw:<node.name>", and the stream is one filter node of that name. Either
// way the stream has an input port per source channel (at most 64) and an
// output port per device channel (at most 256), connected in order, so the
// monitor adds no latency of its own; what its processing delays (the upmix,
// the inserts) it declares with setLatency(), and the ports report it.
//
// Threads: sources(), open() and every member but the figures are for the
// main thread. The process function runs on the system's real-time thread
// (which has called mn_fpu_flush_denormals()), never with more than
// kMaxRenderFrames frames: longer periods come in chunks. The change handler
// is called on a sound-system thread, at most once per stream.
#pragma once

#include "platform/AudioOutput.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm {

// A source as its system lists it.
struct SourceEndpoint {
    std::string uid;                 // "jack:<client>", "pw:<node.name>"
    std::string name;                // the client's name, the node's description
    std::vector<std::string> ports;  // audio output ports in order
    int channels = 0;                // ports.size()

    bool operator==(const SourceEndpoint&) const = default;
};

// One cycle: `inputCount` source channels in, `outputCount` device channels
// out (to be written whole), `frames` frames each.
using DuplexProcessFn = void (*)(void* user, uint32_t frames, const float* const* inputs,
                                 uint32_t inputCount, float* const* outputs, uint32_t outputCount);

// What a stream reports from the server.
enum class DuplexChange {
    sourceLost,   // a source port the stream reads is gone
    outputLost,   // a device port the stream plays to is gone
    serverLost,   // the server (or daemon) stopped, or dropped the client
    rateChanged,  // the server runs at another rate
};

class AudioDuplex {
public:
    static constexpr int maxInputs = 64;
    static constexpr int maxOutputs = 256;

    virtual ~AudioDuplex() = default;

    virtual int inputs() const = 0;
    virtual int outputs() const = 0;
    virtual double sampleRate() const = 0;
    // Frames by which the process function delays its input; the output
    // ports report the source's latency plus this, the input ports the
    // device's plus this.
    virtual void setLatency(uint32_t frames) = 0;
    // Starts the callbacks and connects the ports. Throws AppError when the
    // server refuses the client or a port will not connect.
    virtual void start() = 0;
    // Stops the callbacks; when it returns none runs until start().
    virtual void pause() = 0;
    virtual bool isRunning() const = 0;
    // Cycles the server reported as missed since the stream was opened.
    virtual int64_t xruns() const = 0;
    // The longest time one callback took, in seconds, and the period.
    virtual double longestRender() const = 0;
    virtual double period() const = 0;
};

namespace AudioDuplexes {

// Every source of the system that answers (a JACK server, else a PipeWire
// daemon), ours excepted (also another instance's), in its order; empty
// when neither answers. Read afresh on every call.
std::vector<SourceEndpoint> sources();

// Whether a monitor can play to `output`: its system has one (not ALSA,
// not the silent output).
bool supports(const OutputEndpoint& output);

// A stream from `source` to `output`, not yet started. Throws AppError
// (the system's status) when the client cannot be opened, when the two are
// not of one system, or when the output cannot take a monitor.
std::unique_ptr<AudioDuplex> open(const SourceEndpoint& source, const OutputEndpoint& output,
                                  DuplexProcessFn process, void* user,
                                  std::function<void(DuplexChange)> onChange);

}  // namespace AudioDuplexes

}  // namespace qm
