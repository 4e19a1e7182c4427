// A dummy JACK server for tests that need a real one.
//
// Each server gets a name unique to its process and instance and points
// JACK_DEFAULT_SERVER at it while it lives (the previous server again
// afterwards), so test programs running in parallel never share a server
// and a test may run one of its own beside the shared one. The server is
// stopped with SIGTERM; a server that ended otherwise (SIGKILL, or its own
// death by SIGPIPE) leaves files in /dev/shm and a slot of the machine's
// registry of servers taken, which the destructor frees again.
#pragma once

#include <string>
#include <sys/types.h>

namespace qm::test {

class JackServer {
public:
    // Starts `jackd -n NAME -p ports -d dummy -r rate -p period -C capture
    // -P playback` and waits until it answers: the server's own client
    // "system" then has `capture` capture and `playback` playback ports, and
    // the server takes at most `ports` ports (each costs shared memory).
    // running() tells whether it came up.
    explicit JackServer(int rate = 48000, int period = 256, int capture = 2, int playback = 2,
                        int ports = 128);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool running() const { return pid_ > 0; }
    // Stops the server now (SIGTERM, as the system does at shutdown).
    void terminate();
    // Ends the server as a crash does (SIGKILL). What it leaves behind is
    // reclaimed by restart() or, at the latest, by the destructor.
    void kill();
    // Starts the server again, under the same name and with the same
    // options, after terminate() or kill(); running() tells whether it came up.
    void restart();
    const std::string& name() const { return name_; }

private:
    void start(int rate, int period, int capture, int playback, int ports);

    std::string name_;
    pid_t pid_ = -1;
    int rate_, period_, capture_, playback_, ports_;
    bool unclean_ = false;  // a run of this name ended without the server's own clean-up
    std::string previous_;  // JACK_DEFAULT_SERVER before this server
    bool hadPrevious_ = false;
};

// The test process's one server, started on first use and stopped at exit.
JackServer& sharedJackServer();

}  // namespace qm::test
