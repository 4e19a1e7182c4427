#include "analysis/MusicAnalysis.h"

#include <cctype>

#include <fmt/format.h>

#include "analysis/Signal.h"

#include <algorithm>
#include <cstdint>

namespace qm {

std::string MusicAnalysis::summary() const {
    std::string s = fmt::format("{:.2f} BPM {}", grid.bpm, tempo.meter.label);
    if (tempo.twin) s += fmt::format(" (twin {:.1f})", *tempo.twin);
    std::string drift = tempo.drift;
    for (char& c : drift) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s += " \u00b7 " + (grid.steady ? std::string("steady") : drift);
    s += " \u00b7 " + key.tonic + (key.mode == "minor" ? "m" : "");
    s += fmt::format(" \u00b7 {:.1f} LUFS \u00b7 {:.1f} dBTP", loudness.integrated, loudness.truePeak);
    return s;
}

double AnalysisInput::seconds() const {
    if (audio.channels.empty() || !(audio.sampleRate > 0)) return 0;
    return static_cast<double>(audio.channels[0].size()) / audio.sampleRate;
}

namespace {

constexpr double kRate = TempoAnalyzer::analysisRate;

bool tooShort(const std::vector<std::vector<float>>& channels, double sampleRate) {
    return channels.empty() || !(sampleRate > 0) ||
           static_cast<double>(channels[0].size()) <= static_cast<double>(static_cast<long long>(sampleRate));
}

// The tempo a user gave for music in which the analysis found no pulse: the
// beats walked at that tempo over the onsets, their meter, and the onset
// envelopes the grid is fitted to, so that grid, sections and temp edits
// follow the user's tempo. No candidates: none was found.
TempoResult givenTempo(const std::vector<float>& mono22k, double bpm) {
    TempoResult r;
    r.durationSec = static_cast<double>(mono22k.size()) / kRate;
    r.bpm = bpm;
    auto env = TempoAnalyzer::envelopes(mono22k);
    auto tracked = TempoAnalyzer::trackBeats(env.full, {}, bpm);
    r.beats = std::move(tracked.beats);
    r.snappedPct = tracked.snapped * 100;
    r.meter = TempoAnalyzer::meter(r.beats, env.low, env.full);
    r.alternatives = TempoAnalyzer::alternatives(bpm, {});
    if (!r.beats.empty())
        r.firstDownbeat = r.beats[std::min<size_t>(size_t(std::max(r.meter.downbeatOffset, 0)), r.beats.size() - 1)];
    r.envFull = std::move(env.full);
    r.envLow = std::move(env.low);
    return r;
}

AnalysisOutcome runOn(const std::vector<std::vector<float>>& channels, double sampleRate,
                      std::vector<float> mono22k, const std::optional<SourceFormat>& source,
                      const std::string& name, std::optional<double> bpm, std::optional<int> beatsPerBar) {
    constexpr double rate = kRate;
    AnalysisOutcome out;
    const double seconds = static_cast<double>(channels[0].size()) / sampleRate;
    auto tempo = TempoAnalyzer::analyze(mono22k);
    if (!tempo && bpm && TempoAnalyzer::usableTempo(*bpm)) tempo = givenTempo(mono22k, *bpm);
    if (!tempo) {
        out.skipped = AnalysisSkip::noSteadyPulse;
        return out;
    }
    MusicAnalysis a;
    a.grid = GridBuilder::build(*tempo, mono22k, seconds, bpm, beatsPerBar);
    const SpectralFrames frames(mono22k);
    a.key = KeyAnalyzer::analyze(frames, a.grid.bpm, tempo->score);
    a.loudness = Loudness::measure(channels, sampleRate, source);
    a.structure = Structure::analyze(mono22k, rate, a.grid, frames, name);
    a.tempo = std::move(*tempo);
    a.mono22k = std::move(mono22k);
    a.seconds = seconds;
    out.analysis = std::move(a);
    return out;
}

}  // namespace

AnalysisInput AnalysisPipeline::read(const std::filesystem::path& url) {
    // One pass over the file: each block is folded to mono and converted to
    // the analysis rate while it is still in the cache, by the very steps of
    // Signal::mono and Signal::resample, so the editor, which runs them on
    // the channels it holds, gets the same signal. A single channel is its
    // own mono.
    std::optional<Signal::RateConverter> converter;
    AnalysisInput in;
    in.audio = Signal::readPlanar(url, [&](const Signal::Block& b) {
        if (!converter) converter.emplace(b.sampleRate, kRate, size_t(b.fileFrames));
        converter->push(b.channels, b.count, size_t(b.frames));
    });
    if (converter && !tooShort(in.audio.channels, in.audio.sampleRate)) in.mono22k = converter->finish();
    return in;
}

AnalysisOutcome AnalysisPipeline::run(const AnalysisInput& input, const std::optional<SourceFormat>& source,
                                      const std::string& name, std::optional<double> bpm,
                                      std::optional<int> beatsPerBar) {
    if (tooShort(input.audio.channels, input.audio.sampleRate)) return {std::nullopt, AnalysisSkip::tooShort};
    return runOn(input.audio.channels, input.audio.sampleRate, input.mono22k, source, name, bpm, beatsPerBar);
}

AnalysisOutcome AnalysisPipeline::run(const std::vector<std::vector<float>>& channels, double sampleRate,
                                      const std::optional<SourceFormat>& source, const std::string& name,
                                      std::optional<double> bpm, std::optional<int> beatsPerBar) {
    if (tooShort(channels, sampleRate)) return {std::nullopt, AnalysisSkip::tooShort};
    return runOn(channels, sampleRate, Signal::resample(Signal::mono(channels), sampleRate, kRate), source, name,
                 bpm, beatsPerBar);
}

}  // namespace qm
