// Runs the whole rhythm analysis (read, mono, 22 050 Hz, tempo, beats,
// grid) on each file named on the command line and prints one JSON object
// per line: the file, the tempo, drift, meter, grid and the time taken.
// scripts/rhythm-corpus.py drives it over the generated accuracy corpus.
#include "analysis/MusicGrid.h"
#include "analysis/Signal.h"
#include "analysis/TempoAnalyzer.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    using namespace qm;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        nlohmann::json out{{"file", argv[i]}};
        const auto start = std::chrono::steady_clock::now();
        try {
            const auto audio = Signal::readPlanar(argv[i]);
            const auto mono = Signal::resample(Signal::mono(audio.channels), audio.sampleRate, 22050);
            const auto tempo = TempoAnalyzer::analyze(mono);
            if (tempo) {
                const auto grid = GridBuilder::build(*tempo, mono, tempo->durationSec);
                out["bpm"] = tempo->bpm;
                out["drift"] = tempo->drift;
                out["driftSpreadPct"] = tempo->driftSpreadPct;
                out["meter"] = tempo->meter.label;
                out["gridBpm"] = grid.bpm;
                out["beatsPerBar"] = grid.beatsPerBar;
                out["steady"] = grid.steady;
                out["downbeats"] = grid.downbeats;
                out["attackShift"] = grid.attackShift;
            } else {
                out["bpm"] = nullptr;
            }
        } catch (const std::exception& e) {
            out["error"] = e.what();
            status = 1;
        }
        out["seconds"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::puts(out.dump().c_str());
    }
    return status;
}
