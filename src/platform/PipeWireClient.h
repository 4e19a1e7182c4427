// What the PipeWire streams of the platform layer share: a connection to the
// daemon on a thread loop of its own, and the daemon's graph as the
// connection sees it (nodes, ports, links, the default sink, the clock rate).
//
// Threads: open(), sync(), graph() and the destructor belong to the thread
// that owns the connection (the main thread); the change handler runs on
// the connection's loop thread. Calls into libpipewire on the connection's
// objects go under Lock.
#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm::pipewire {

// The playback stream's node and the monitor's.
inline constexpr const char* playbackName = "Quillmarsh";
inline constexpr const char* monitorName = "Quillmarsh Monitor";

struct Node {
    uint32_t id = 0;
    std::string name;         // node.name
    std::string description;  // node.description, else node.name
    std::string mediaClass;   // media.class
};

struct Port {
    uint32_t id = 0;
    uint32_t node = 0;
    uint32_t index = 0;    // port.id: its place among its node's ports of one direction
    std::string name;      // port.name
    std::string channel;   // audio.channel, e.g. "FL"; empty when the port names none
    bool input = false;    // port.direction "in"
    bool monitor = false;  // port.monitor: a sink's copy of what it plays
};

struct Link {
    uint32_t id = 0;
    uint32_t outputNode = 0, outputPort = 0, inputNode = 0, inputPort = 0;
};

struct Graph {
    std::vector<Node> nodes;  // in the daemon's order (of their ids)
    std::vector<Port> ports;
    std::vector<Link> links;
    std::string defaultSink;  // node.name the session manager plays to by default
    double rate = 48000.0;    // the graph's clock rate

    const Node* node(uint32_t id) const;
    const Node* nodeNamed(const std::string& name) const;
    // A node's audio ports of one direction (monitor ports left out), in order.
    std::vector<Port> portsOf(uint32_t node, bool input) const;
};

// What changed in the graph once the connection had seen it whole; the
// clock's rate (id 0); `lost` when the daemon went away (id 0).
enum class Change { nodeAdded, nodeRemoved, portAdded, portRemoved, linkAdded, linkRemoved, rateChanged, lost };

// Counts the graph's cycles a node was not run in, from the clock position
// of each cycle it was run in, and the cycles it was run in without a
// buffer. The first cycle after a start follows no earlier one: the cycles
// of a pause are not missed ones. The daemon may still run a cycle or two
// after a pause, so the data loop clears its own record when it sees the
// start's flag.
class MissedCycles {
public:
    // Any thread, before the node is made active again.
    void restart() { restarted_.store(true, std::memory_order_release); }
    // The data loop: a cycle at the clock's `position` of `duration` frames.
    void note(uint64_t position, uint64_t duration) {
        if (restarted_.exchange(false, std::memory_order_acquire)) lastDuration_ = 0;
        if (lastDuration_ && position > lastPosition_ + lastDuration_) count_.fetch_add(1, std::memory_order_relaxed);
        lastPosition_ = position;
        lastDuration_ = duration;
    }
    // The data loop: a cycle with nothing to play into.
    void noteEmpty() { count_.fetch_add(1, std::memory_order_relaxed); }
    int64_t count() const { return count_.load(); }

private:
    uint64_t lastPosition_ = 0, lastDuration_ = 0;  // the data loop's
    std::atomic<bool> restarted_{false};
    std::atomic<int64_t> count_{0};
};

class Connection {
public:
    // Connects as a client named `name` and waits until the graph is seen
    // whole; null when no daemon answers.
    static std::unique_ptr<Connection> open(const std::string& name);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Waits (at most a few seconds) until the daemon has answered all that
    // was asked of it so far; false when it is gone or did not answer.
    bool sync();
    // The graph as seen now.
    Graph graph() const;
    // Runs `look` on the graph under its lock, in turn with the change handler.
    void inspect(const std::function<void(const Graph&)>& look) const;
    bool lost() const { return lost_.load(); }
    // Returns once the real-time data loop has finished what it was running:
    // a callback of a stream or filter made inactive before has ended (the
    // daemon may still run it for a cycle or two after).
    void waitForDataLoop() const;

    // Called on the loop thread for every change after the first sync, with
    // the object's id and the graph as it is after the change (a removed
    // object is gone from it). It runs under the graph's lock, so it must
    // not call graph(); replacing the handler waits for a running one.
    using ChangeHandler = std::function<void(Change, uint32_t, const Graph&)>;
    void onChange(ChangeHandler handler);

    // Under Lock, on the owner's thread: waits (at most 5 s) until `done`
    // holds or the daemon is gone; returns `done()`. The loop thread's
    // callbacks signal the loop when they change what `done` reads.
    template <class Done>
    bool waitUntil(Done done) {
        timespec deadline{};
        pw_thread_loop_get_time(loop_, &deadline, 5 * SPA_NSEC_PER_SEC);
        while (!done() && !lost()) {
            if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) break;
        }
        return done();
    }

    pw_thread_loop* loop() const { return loop_; }
    pw_context* context() const { return context_; }
    pw_core* core() const { return core_; }

    // Holds the loop's lock: libpipewire's objects of this connection are
    // used only under it (the loop thread's own callbacks hold it already).
    class Lock {
    public:
        explicit Lock(const Connection& c) : loop_(c.loop_) { pw_thread_loop_lock(loop_); }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

private:
    Connection() = default;
    struct Listeners;
    void changed(Change change, uint32_t id);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    std::unique_ptr<Listeners> listeners_;
    mutable std::mutex lock_;
    Graph graph_;
    ChangeHandler handler_;
    bool seen_ = false;  // the first sync is done: later globals are changes
    int pending_ = 0;    // the last sync's sequence number
    int done_ = -1;      // the last sequence number answered
    std::atomic<bool> lost_{false};
};

// The position names of libpipewire ("FL", "TRL", "AUX3"); -1 for an
// unknown one.
int channelPosition(const std::string& name);

}  // namespace qm::pipewire
