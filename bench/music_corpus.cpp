// Runs the whole music analysis, as the batch temp edits run it (read, mono,
// 22 050 Hz, tempo, grid, key, loudness, structure), on each file named on
// the command line and prints one JSON object per line: tempo, meter, key
// and the time taken on this thread's CPU clock, with a plain libsndfile
// read of the same file beside it as the reading floor.
// scripts/music-corpus.py drives it over the generated accuracy corpus.
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

namespace {

double threadCpu() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Decodes the whole file to interleaved floats and nothing more.
double plainSndfileRead(const char* path) {
    const double start = threadCpu();
    SF_INFO info{};
    SNDFILE* f = sf_open(path, SFM_READ, &info);
    if (!f) return 0;
    std::vector<float> all(size_t(info.frames) * size_t(info.channels));
    sf_readf_float(f, all.data(), info.frames);
    sf_close(f);
    return threadCpu() - start;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qm;
    int status = 0;
    // --no-floor leaves the plain read out, so that the process's peak
    // memory is the analysis's own.
    const bool floor = !(argc > 1 && std::string(argv[1]) == "--no-floor");
    for (int i = floor ? 1 : 2; i < argc; ++i) {
        nlohmann::json out{{"file", argv[i]}};
        try {
            const double start = threadCpu();
            AnalysisInput input = AnalysisPipeline::read(argv[i]);
            const double read = threadCpu() - start;
            out["audioSeconds"] = input.seconds();
            const AnalysisOutcome outcome = AnalysisPipeline::run(std::move(input), argv[i]);
            out["cpu"] = threadCpu() - start;
            out["readCpu"] = read;
            // After the analysis, so that the first file's is the first
            // analysis of a fresh process, as a program opening one file has.
            if (floor) out["sndfileCpu"] = plainSndfileRead(argv[i]);
            if (outcome.analysis) {
                const MusicAnalysis& a = *outcome.analysis;
                out["bpm"] = a.grid.bpm;
                out["tempoScore"] = a.tempo.score;
                out["snapped"] = a.tempo.snappedPct;
                out["meter"] = a.tempo.meter.label;
                out["meterConfidence"] = a.tempo.meter.confidence;
                out["beatsPerBar"] = a.grid.beatsPerBar;
                out["steady"] = a.grid.steady;
                out["key"] = a.key.tonic;
                out["mode"] = a.key.mode;
                out["keyConfidence"] = a.key.confidence;
                out["summary"] = a.summary();
            } else {
                // No pulse: the key is still judged, alone, for the record.
                out["bpm"] = nullptr;
                const auto key = KeyAnalyzer::analyze(SpectralFrames(AnalysisPipeline::read(argv[i]).mono22k), 0, 0);
                out["key"] = key.tonic;
                out["mode"] = key.mode;
                out["keyConfidence"] = key.confidence;
            }
        } catch (const std::exception& e) {
            out["error"] = e.what();
            status = 1;
        }
        std::puts(out.dump().c_str());
    }
    return status;
}
