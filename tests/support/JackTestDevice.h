// Stand-in devices on a JACK server for tests.
//
// JackTestDevice opens its own client and registers `channels` ports
// flagged physical and terminal as inputs, so the server lists them as a
// playback device of its own (named after the client); what reaches the
// ports is recorded into preallocated buffers. JackTestSource registers
// output ports flagged the same way, a capture device (or a workstation's
// outputs) of its own, and plays a preloaded signal into them from its first
// cycle. Both keep the server's frame time of every cycle they ran, so a
// test can tell at which absolute frame a recorded sample was played.
// Their process callbacks never allocate.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace qm::test {

// The server's frame time of each cycle a stand-in ran. note() belongs to
// the stand-in's process callback; the readers to any thread.
class CycleLog {
public:
    explicit CycleLog(size_t cycles);
    // A cycle began at the stand-in's own frame `position` and the server's
    // frame time `frameTime`. Cycles beyond the capacity are not kept.
    void note(int64_t position, int64_t frameTime);
    // The server's frame time of the stand-in's frame `position`, or -1
    // when no kept cycle holds it.
    int64_t frameTimeOf(int64_t position) const;
    // The stand-in's frame at the server's frame time `frameTime`, or -1.
    int64_t positionAt(int64_t frameTime) const;
    // The stand-in's frames at which kept cycles began, in order.
    std::vector<int64_t> cycleStarts() const;
    // Kept cycles after which the server's clock moved on by more than the
    // stand-in played: cycles it was not run in (a busy machine).
    int missed() const;

private:
    std::vector<int64_t> positions_, times_;
    std::atomic<size_t> count_{0};
};

// What both stand-ins are: a client of an exact name with ports flagged
// physical and terminal, and the log of its cycles.
class JackStandIn {
public:
    JackStandIn(const JackStandIn&) = delete;
    JackStandIn& operator=(const JackStandIn&) = delete;

    bool ok() const { return client_ != nullptr; }
    // When each of the stand-in's frames was played.
    const CycleLog& cycles() const { return cycles_; }
    // Unregisters the ports and closes the client, as when a device is unplugged.
    void close();

protected:
    explicit JackStandIn(size_t cycles) : cycles_(cycles) {}
    ~JackStandIn() { close(); }
    // Opens the client, registers `channels` ports "<prefix>_1"... with
    // `direction` (JackPortIsInput or JackPortIsOutput) and activates
    // `process` with this object as its argument.
    void open(const std::string& clientName, int channels, const char* prefix, unsigned long direction,
              int (*process)(uint32_t, void*));

    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;
    CycleLog cycles_;
};

class JackTestDevice : public JackStandIn {
public:
    // Records at most `capacityFrames` frames per channel (0: records
    // nothing and touches no buffer).
    JackTestDevice(const std::string& clientName, int channels, int64_t capacityFrames);
    // The client goes before the buffers its callback writes.
    ~JackTestDevice() { close(); }

    // Frames recorded so far.
    int64_t recorded() const { return recorded_.load(std::memory_order_acquire); }
    // Channel `c` of the recording (frames up to recorded()).
    const std::vector<float>& channel(int c) const { return data_[c]; }

    // The server's clock now, in frames (jack_frame_time).
    int64_t frameTime() const;
    // The server's clock at the first recorded frame that is not silent on
    // any channel, at or after recording index `from`; -1 when none.
    int64_t firstSoundTime(int64_t from) const;

private:
    static int process(uint32_t frames, void* arg);

    std::vector<std::vector<float>> data_;
    int64_t capacity_;
    std::atomic<int64_t> recorded_{0};
};

class JackTestSource : public JackStandIn {
public:
    // One output port per channel of `signal` (all of one length), named
    // "capture_1" and on. Without `loop` the signal plays once, then silence.
    JackTestSource(const std::string& clientName, std::vector<std::vector<float>> signal, bool loop = false);
    ~JackTestSource() { close(); }

    // Frames played so far (past the signal's end when it loops).
    int64_t played() const { return played_.load(std::memory_order_acquire); }
    // Sample `frame` of channel `c` as played (the signal, looped or silent after it).
    float sample(int c, int64_t frame) const;

private:
    static int process(uint32_t frames, void* arg);

    std::vector<std::vector<float>> signal_;
    bool loop_;
    std::atomic<int64_t> played_{0};
};

}  // namespace qm::test
