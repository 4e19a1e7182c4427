// A dummy JACK server for tests that need a real one.
//
// Each test process starts its own server under a unique name and points
// JACK_DEFAULT_SERVER at it, so test programs running in parallel never
// share a server. The server is stopped with SIGTERM (SIGKILL would leave
// its files in /dev/shm).
#pragma once

#include <string>
#include <sys/types.h>

namespace qm::test {

class JackServer {
public:
    // Starts `jackd -n NAME -d dummy -r rate -p period` and waits until it
    // answers. running() tells whether it came up.
    explicit JackServer(int rate = 48000, int period = 256);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool running() const { return pid_ > 0; }
    // Stops the server now (SIGTERM, as the system does at shutdown).
    void terminate();
    const std::string& name() const { return name_; }

private:
    void start(int rate, int period);

    std::string name_;
    pid_t pid_ = -1;
};

// The test process's one server, started on first use and stopped at exit.
JackServer& sharedJackServer();

}  // namespace qm::test
