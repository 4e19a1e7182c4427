// What the JACK-based streams of the platform layer share: opening and
// closing clients safely (never starting a server, never leaving the
// library with a freed client or a lock taken for good), the names of our
// own clients, and the server's ports grouped into devices (one client's
// ports, in server order).
//
// Threads: openClient(), closeClient(), setStreamCallbacks() and ports()
// make server requests and belong to the main thread; Watch::enter() and
// noteServerGone() to the client's notification thread; clientOf() and
// isOwnClient() are pure.
#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace qm::jackclient {

// The playback stream's client and the monitor's.
inline constexpr const char* playbackName = "Quillmarsh";
inline constexpr const char* monitorName = "Quillmarsh Monitor";

// Opens a client named `name` with JackNoStartServer, so no server is ever
// started behind the user's back. Opening clients at the same moment as a
// server starts (or as other clients open) sometimes fails, so a failure is
// retried a few times after a short random wait; a server that is not there
// is not asked again. Null on failure, with the last status in `status`
// when given. The library's console messages are silenced (the system keeps
// no log).
//
// Nothing is opened (null, JackFailure|JackServerFailed) while a client of
// ours belongs to a server that has gone away: the library, asked for a new
// client then, closes and frees every client still open in the process, and
// their owners (the player's stream, the monitor's) would go on using freed
// clients. Once those clients are closed, opening works again, also on a
// server started since.
jack_client_t* openClient(const char* name, jack_status_t* status);

// What the library's notification thread of one client reaches: the
// client's owner while it lives, and the facts that thread reports. The
// client's notification callbacks get a Watch as their argument and reach
// the owner only through enter(), so that a client can outlive its owner
// (see closeClient) without a callback ever touching a destroyed one.
// The process callback gets the owner itself: closing stops it first.
class Watch {
public:
    // Made on the owner's thread.
    explicit Watch(void* owner);
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // Notification thread, first thing in every callback: notes the thread
    // and gives the owner (null once it let go), locked until `hold` goes.
    struct Access {
        std::unique_lock<std::mutex> hold;
        void* owner;
    };
    Access enter();
    // The client's shutdown callback: its server went away.
    void noteServerGone() { serverGone_.store(true); }
    bool serverGone() const { return serverGone_.load(); }
    // Missed cycles the server reported (counted by setStreamCallbacks).
    std::atomic<int64_t> xruns{0};
    // The owner's part when the server goes (set by setStreamCallbacks).
    void (*onServerGone)(void* owner) = nullptr;

private:
    friend void closeClient(jack_client_t*, std::shared_ptr<Watch>);
    friend bool reapable(const Watch&);
    // The owner goes; a callback running now finishes first.
    void release();

    std::mutex lock_;
    void* owner_;
    const pid_t ownerThread_;
    std::atomic<bool> serverGone_{false};
    std::array<std::atomic<pid_t>, 4> threads_{};
};

// Closes a client made by openClient() as its owner goes. The library stops
// a client's threads by cancelling them wherever they are, also inside its
// own locks, which then stay taken for good. While the server is alive the
// notification thread waits for the next notification; a server that goes
// away sends a last burst (its clients and ports removed), which that
// thread works through after the shutdown callback. A client whose server
// is gone while that thread still runs is therefore left open, with its
// `watch`, and closed by a later openClient() once the thread has ended.
void closeClient(jack_client_t* client, std::shared_ptr<Watch> watch = nullptr);

// What every stream of ours sets on its client before activating it: its
// real-time thread flushes denormals when it starts, each cycle the server
// reports missed is counted into `watch`'s xruns, and when the server goes
// away `watch` notes it and `serverGone` is called with the owner (unless
// the owner let go already), on the notification thread.
void setStreamCallbacks(jack_client_t* client, Watch* watch, void (*serverGone)(void* owner));

// The client part of a full port name ("system:playback_1" -> "system").
std::string clientOf(std::string_view port);

// Whether a client is one of ours: the playback or monitor client, also as
// the server renames a second one ("Quillmarsh-01").
bool isOwnClient(std::string_view client);

// The audio ports with all of `flags`, grouped per client in the server's
// order, each client's ports in their order.
struct ClientPorts {
    std::string client;
    std::vector<std::string> ports;
};
std::vector<ClientPorts> ports(jack_client_t* client, unsigned long flags);

}  // namespace qm::jackclient
