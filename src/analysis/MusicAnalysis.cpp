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

double AnalysisInput::seconds() const { return sampleRate > 0 ? static_cast<double>(frames) / sampleRate : 0; }

namespace {

constexpr double kRate = TempoAnalyzer::analysisRate;

bool tooShort(int channels, int64_t frames, double sampleRate) {
    return channels < 1 || !(sampleRate > 0) ||
           static_cast<double>(frames) <= static_cast<double>(static_cast<long long>(sampleRate));
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

// The steps after reading, on the analysis signal of a file of `seconds`;
// `loudness` measures the source's own channels.
template <class Measure>
AnalysisOutcome runOn(std::vector<float> mono22k, double seconds, const Measure& loudness, const std::string& name,
                      std::optional<double> bpm, std::optional<int> beatsPerBar) {
    AnalysisOutcome out;
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
    a.loudness = loudness();
    a.structure = Structure::analyze(mono22k, kRate, a.grid, frames, name);
    a.tempo = std::move(*tempo);
    a.mono22k = std::move(mono22k);
    a.seconds = seconds;
    out.analysis = std::move(a);
    return out;
}

}  // namespace

AnalysisInput AnalysisPipeline::read(const std::filesystem::path& url, const std::optional<SourceFormat>& source,
                                     bool keepChannels) {
    // One pass over the file: each block is folded to mono and converted to
    // the analysis rate, and measured for loudness, while it is still in the
    // cache, by the very steps the editor runs on the channels it holds, so
    // both get the same analysis. Unless the channels are kept, the memory
    // used is the analysis signal's and a block's.
    std::optional<Signal::RateConverter> converter;
    std::optional<Loudness::Meter> meter;
    const auto block = [&](const Signal::Block& b) {
        if (!converter) {
            converter.emplace(b.sampleRate, kRate, size_t(b.fileFrames));
            meter.emplace(b.sampleRate, b.count, source);
        }
        converter->push(b.channels, b.count, size_t(b.frames));
        meter->push(b.channels, size_t(b.frames));
    };
    AnalysisInput in;
    if (keepChannels) {
        in.audio = Signal::readPlanar(url, block);
        in.channels = int(in.audio.channels.size());
        in.frames = int64_t(in.audio.channels[0].size());
    } else {
        const Signal::StreamedAudio read = Signal::readBlocks(url, block);
        in.audio.sampleRate = read.sampleRate;
        in.audio.damagedFrames = read.damagedFrames;
        in.channels = read.channels;
        in.frames = read.frames;
    }
    in.sampleRate = in.audio.sampleRate;
    if (converter && !tooShort(in.channels, in.frames, in.sampleRate)) {
        in.mono22k = converter->finish();
        in.loudness = meter->finish();
    }
    return in;
}

AnalysisOutcome AnalysisPipeline::run(AnalysisInput&& input, const std::string& name, std::optional<double> bpm,
                                      std::optional<int> beatsPerBar) {
    if (tooShort(input.channels, input.frames, input.sampleRate)) return {std::nullopt, AnalysisSkip::tooShort};
    return runOn(std::move(input.mono22k), input.seconds(), [&] { return input.loudness; }, name, bpm, beatsPerBar);
}

AnalysisOutcome AnalysisPipeline::run(const std::vector<std::vector<float>>& channels, double sampleRate,
                                      const std::optional<SourceFormat>& source, const std::string& name,
                                      std::optional<double> bpm, std::optional<int> beatsPerBar) {
    const int64_t frames = channels.empty() ? 0 : int64_t(channels[0].size());
    if (tooShort(int(channels.size()), frames, sampleRate)) return {std::nullopt, AnalysisSkip::tooShort};
    // Folded and converted block by block, as read() does it: the same
    // signal as Signal::resample of Signal::mono, without a copy of the
    // channels' mono at their own rate.
    size_t n = size_t(frames);
    for (const auto& c : channels) n = std::min(n, c.size());
    Signal::RateConverter converter(sampleRate, kRate, n);
    std::vector<const float*> at(channels.size());
    constexpr size_t kBlock = 16384;
    for (size_t done = 0; done < n; done += kBlock) {
        for (size_t c = 0; c < channels.size(); ++c) at[c] = channels[c].data() + done;
        converter.push(at.data(), int(at.size()), std::min(kBlock, n - done));
    }
    return runOn(converter.finish(), double(frames) / sampleRate,
                 [&] { return Loudness::measure(channels, sampleRate, source); }, name, bpm, beatsPerBar);
}

}  // namespace qm
