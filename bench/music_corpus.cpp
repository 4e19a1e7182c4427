// Runs the whole music analysis, as the batch temp edits run it (read, mono,
// 22 050 Hz, tempo, grid, key, loudness, structure), on each file named on
// the command line and prints one JSON object per line: tempo, meter, key
// and the time taken on this thread's CPU clock, with a plain libsndfile
// read of the same file beside it as the reading floor (after the analysis,
// so that the first file's is the first analysis of a fresh process, as a
// program opening one file has; --no-floor first leaves it out, so that the
// process's peak memory is the analysis's own). With --evidence first,
// each object also holds what spoke for each key (KeyAnalyzer::evidence), the
// chords found and the summed treble and bass notes, for setting the key's
// weights on a tuning part.
// scripts/music-corpus.py drives it over the generated accuracy corpus.
#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <string_view>
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
    int first = 1;
    bool evidence = false, floor = true;
    for (; first < argc; ++first) {
        const std::string_view option = argv[first];
        if (option == "--evidence")
            evidence = true;
        else if (option == "--no-floor")
            floor = false;
        else
            break;
    }
    for (int i = first; i < argc; ++i) {
        nlohmann::json out{{"file", argv[i]}};
        try {
            const double start = threadCpu();
            AnalysisInput input = AnalysisPipeline::read(argv[i]);
            const double read = threadCpu() - start;
            out["audioSeconds"] = input.seconds();
            const AnalysisOutcome outcome = AnalysisPipeline::run(std::move(input), argv[i]);
            out["cpu"] = threadCpu() - start;
            out["readCpu"] = read;
            if (floor) out["sndfileCpu"] = plainSndfileRead(argv[i]);
            // The analysis signal again, for what is judged outside the timing.
            const auto mono22k = [&] {
                return outcome.analysis ? outcome.analysis->mono22k : AnalysisPipeline::read(argv[i]).mono22k;
            };
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
                const auto key = KeyAnalyzer::analyze(SpectralFrames(mono22k()), 0, 0);
                out["key"] = key.tonic;
                out["mode"] = key.mode;
                out["keyConfidence"] = key.confidence;
            }
            if (evidence) {
                const SpectralFrames frames(mono22k());
                auto& list = out["evidence"] = nlohmann::json::array();
                for (const auto& e : KeyAnalyzer::evidence(frames))
                    list.push_back({e.fit, e.bass, e.harmony, e.resolutions});
                auto& spans = out["chords"] = nlohmann::json::array();
                for (const auto& c : KeyAnalyzer::chords(frames))
                    spans.push_back({c.root + 12 * int(c.quality), c.seconds});
                std::vector<double> treble(12), bass(12);
                for (const auto& f : frames.treble)
                    for (size_t q = 0; q < 12; ++q) treble[q] += f[q];
                for (const auto& f : frames.bass)
                    for (size_t q = 0; q < 12; ++q) bass[q] += f[q];
                out["notes"] = {treble, bass};
            }
        } catch (const std::exception& e) {
            out["error"] = e.what();
            status = 1;
        }
        std::puts(out.dump().c_str());
    }
    return status;
}
