// What the sound-server benchmarks share: the server's DSP load averaged
// by a probe client over a span of real time.
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <thread>

namespace qm::bench {

// The mean of jack_cpu_load() sampled every 50 ms for `seconds`; -1 when
// no server answers.
inline double dspLoad(double seconds) {
    jack_client_t* probe = jack_client_open("Probe", JackNoStartServer, nullptr);
    if (!probe) return -1;
    double sum = 0;
    int n = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sum += jack_cpu_load(probe);
        ++n;
    }
    jack_client_close(probe);
    return n ? sum / n : -1;
}

}  // namespace qm::bench
