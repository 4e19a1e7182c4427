// What the JACK-based streams of the platform layer share: opening a client
// without ever starting a server, the names of our own clients, and the
// server's ports grouped into devices (one client's ports, in server order).
//
// Threads: openClient(), setStreamCallbacks() and ports() make server requests and belong to the
// main thread; clientOf() and isOwnClient() are pure.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::jackclient {

// The playback stream's client and the monitor's.
inline constexpr const char* playbackName = "Quillmarsh";
inline constexpr const char* monitorName = "Quillmarsh Monitor";

// Opens a client named `name` with JackNoStartServer, so no server is ever
// started behind the user's back. Opening clients at the same moment as a
// server starts (or as other clients open) sometimes fails, so a failure is
// retried a few times after a short random wait. Null on failure, with the
// last status in `status` when given. The library's console messages are
// silenced (the system keeps no log).
jack_client_t* openClient(const char* name, jack_status_t* status);

// What every stream of ours sets on its client before activating it: its
// real-time thread flushes denormals when it starts, and each cycle the
// server reports missed is counted into `xruns` (which outlives the client).
void setStreamCallbacks(jack_client_t* client, std::atomic<int64_t>* xruns);

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
