// A stand-in playback device on a JACK server for tests.
//
// It opens its own client and registers `channels` ports flagged physical
// and terminal, so the server lists them as a playback device of its own
// (named after the client). What reaches the ports is recorded into
// preallocated buffers; the process callback never allocates.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

namespace qm::test {

class JackTestDevice {
public:
    // Records at most `capacityFrames` frames per channel.
    JackTestDevice(const std::string& clientName, int channels, int64_t capacityFrames);
    ~JackTestDevice();
    JackTestDevice(const JackTestDevice&) = delete;
    JackTestDevice& operator=(const JackTestDevice&) = delete;

    bool ok() const { return client_ != nullptr; }
    // Frames recorded so far.
    int64_t recorded() const { return recorded_.load(std::memory_order_acquire); }
    // Channel `c` of the recording (frames up to recorded()).
    const std::vector<float>& channel(int c) const { return data_[c]; }
    // Unregisters the ports and closes the client, as when a device is unplugged.
    void close();

    // Each cycle's start on the server's clock (frames) and the length of the
    // recording before it, for latency figures; the first capacityFrames / 16
    // cycles are kept.
    struct Cycle {
        int64_t frameTime = 0;
        int64_t recordedBefore = 0;
    };
    int64_t cycles() const { return cycles_.load(std::memory_order_acquire); }
    const Cycle& cycle(int64_t i) const { return cycleLog_[static_cast<size_t>(i)]; }
    // The server's clock now, in frames (jack_frame_time).
    int64_t frameTime() const;
    // The server's clock at the first recorded frame that is not silent on
    // any channel, at or after recording index `from`; -1 when none.
    int64_t firstSoundTime(int64_t from) const;

private:
    static int process(uint32_t frames, void* arg);

    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> ports_;
    std::vector<std::vector<float>> data_;
    int64_t capacity_;
    std::atomic<int64_t> recorded_{0};
    std::vector<Cycle> cycleLog_;
    std::atomic<int64_t> cycles_{0};
};

}  // namespace qm::test
