// A private PipeWire daemon for tests that need a real one, and stand-in
// nodes on it.
//
// PipeWireDaemon starts, on a runtime folder of its own (XDG_RUNTIME_DIR and
// PIPEWIRE_RUNTIME_DIR of its children), a session bus without service
// activation, the daemon and the session manager (wireplumber), with four
// null sinks that drive their own graphs: 2 channels (FL FR), 6 (5.1), 12
// (7.1.4) and 16 (9.1.6). While it lives, this process's clients reach it
// (PIPEWIRE_RUNTIME_DIR points at it); it stops everything it started.
// One per test program (sharedPipeWire()), since starting one costs a few
// tenths of a second.
//
// PipeWireTestNode is a filter node of the test's own: a recording sink
// stand-in (input ports, what arrives is kept) or a source (output ports
// playing a preloaded signal), keeping the graph's clock position of every
// cycle, so a test can tell at which absolute frame a sample was played.
// Its process callback never allocates.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace qm::test {

class PipeWireDaemon {
public:
    struct Sink {
        std::string name;         // node.name
        std::string description;  // node.description
        std::vector<std::string> positions;
    };
    // The four sinks, the stereo one the default.
    static const std::vector<Sink>& sinks();

    PipeWireDaemon();
    ~PipeWireDaemon();
    PipeWireDaemon(const PipeWireDaemon&) = delete;
    PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

    bool running() const { return daemon_ > 0; }
    // Ends the daemon and its session manager with `signal` (SIGTERM as the
    // system does, SIGKILL as a crash); the bus stays.
    void stop(int signal);
    // Starts them again, with the four sinks; false when they did not come up.
    bool start();

    // Runs a PipeWire command-line tool (pw-cli, pw-metadata, pw-link...)
    // against the daemon; its standard output, or none when it failed.
    std::optional<std::string> run(const std::string& command) const;
    // Removes a sink and adds one back, as when a device is unplugged and
    // plugged in again.
    bool removeSink(const std::string& name) const;
    bool addSink(const Sink& sink) const;
    // Forces the graph's quantum (0: the daemon's own again).
    void forceQuantum(int frames) const;
    // Whether every sink is there with its ports and the default is chosen.
    bool ready() const;

    // A latency a port declares (its SPA_PARAM_Latency of one direction):
    // so many quanta, plus frames, plus nanoseconds, at least and at most.
    struct Latency {
        double minQuantum = 0, maxQuantum = 0;
        int64_t minRate = 0, maxRate = 0, minNs = 0, maxNs = 0;
        bool operator==(const Latency&) const = default;
    };
    // What port `port` of node `node` declares in `direction` ("Output":
    // what lies upstream, JACK's capture latency, carried downstream;
    // "Input": what lies downstream, the playback latency), as pw-dump reads
    // it (a port that declares none has none: all zero); none when there
    // is no such port.
    std::optional<Latency> portLatency(const std::string& node, const std::string& port,
                                       const std::string& direction) const;

    const std::string& runtimeDir() const { return runtime_; }

private:
    pid_t spawn(const std::vector<std::string>& argv) const;
    std::vector<std::string> environment() const;

    TempDir dir_;
    std::string runtime_;
    pid_t bus_ = -1, daemon_ = -1, manager_ = -1;
    std::string previous_;  // PIPEWIRE_RUNTIME_DIR before
    bool hadPrevious_ = false;
};

// The test program's one daemon, started on first use and stopped at exit.
PipeWireDaemon& sharedPipeWire();

// While it lives, only one sound system answers this process: JACK (no
// PipeWire daemon, no ALSA device) or PipeWire (no JACK server, no ALSA
// device); or only the two servers (a JACK server beside the desktop's
// daemon, no ALSA device). The variables are restored afterwards.
class OnlySound {
public:
    enum class System { jack, pipewire, servers };
    explicit OnlySound(System system);
    ~OnlySound();
    OnlySound(const OnlySound&) = delete;
    OnlySound& operator=(const OnlySound&) = delete;

private:
    TempDir dir_;
    System system_;
    std::optional<std::string> jack_, pipewire_, alsa_;
};

// How many times a test makes a run it judges frame by frame before it
// gives up: a run in which a node missed a cycle (the machine's load shifts
// frames between nodes) is not judged and is made again; a test none of
// whose runs could be judged fails, since it judged nothing.
inline constexpr int kJudgedRuns = 5;

// A test on the program's shared daemon with no other sound system
// reachable; the daemon's own quantum is back when it ends.
class PipeWireTest : public testing::Test {
protected:
    void SetUp() override {
        if (!daemon().running() && !daemon().start()) GTEST_SKIP() << "the PipeWire daemon could not be started";
    }
    void TearDown() override { daemon().forceQuantum(0); }
    static PipeWireDaemon& daemon() { return sharedPipeWire(); }

private:
    OnlySound only_{OnlySound::System::pipewire};
};

class PipeWireTestNode {
public:
    enum class Kind { recorder, source };
    // A recorder of `channels` input ports "in_1"... keeping at most
    // `capacityFrames` frames per channel (of no media class, or of
    // `mediaClass`: "Audio/Sink" makes it a device); or a source (a capture
    // device, "Audio/Source", or an application's stream,
    // "Stream/Output/Audio") of output ports "out_1"... playing `signal` (one
    // vector per channel) from its first cycle, looped or once.
    static std::unique_ptr<PipeWireTestNode> recorder(const std::string& name, int channels, int64_t capacityFrames,
                                                      const std::string& mediaClass = "");
    static std::unique_ptr<PipeWireTestNode> source(const std::string& name, std::vector<std::vector<float>> signal,
                                                    bool loop = false, const std::string& mediaClass = "Audio/Source");
    ~PipeWireTestNode();

    bool ok() const;
    // Declares on every port that `frames` frames of latency lie beyond it:
    // upstream of a source's outputs (as a capture device's converter),
    // downstream of a recorder's inputs (as a playback device's).
    void declareLatency(int64_t frames);
    // Links port `port` (1-based) of the node with another node's port
    // ("qm-916:monitor_FL") through pw-link of `daemon`.
    bool linkFrom(const PipeWireDaemon& daemon, const std::string& otherPort, int port) const;
    bool linkTo(const PipeWireDaemon& daemon, int port, const std::string& otherPort) const;

    // Frames recorded or played so far.
    int64_t frames() const;
    const std::vector<float>& channel(int c) const;
    // The graph's clock position (in frames) at recorded or played frame
    // `frame`, or -1 when no kept cycle holds it.
    int64_t clockAt(int64_t frame) const;
    // The recorded frame at the graph position `clock`, or -1.
    int64_t frameAt(int64_t clock) const;
    // When the cycle holding frame `frame` began, on the monotonic clock in
    // nanoseconds, plus the frame's place in it; -1 when no kept cycle holds it.
    int64_t nanosAt(int64_t frame) const;
    // Cycles in which the graph's clock moved on by more than the node ran.
    int missed() const;
    // Whether the node ran the cycle holding graph position `clock` and the
    // one before it (no cycle missed just there).
    bool steadyAt(int64_t clock) const;
    // The first recorded frame at or after `from` that is not silent on any
    // channel, or -1.
    int64_t firstSound(int64_t from = 0) const;

private:
    struct Impl;
    explicit PipeWireTestNode(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::test
