#include "analysis/MusicAnalysis.h"

#include <cctype>

#include <fmt/format.h>

#include "analysis/Signal.h"
#include "platform/AppError.h"
#include "platform/AudioFileReader.h"

#include <algorithm>
#include <cmath>
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

AnalysisOutcome runOn(const std::vector<std::vector<float>>& channels, double sampleRate,
                      std::vector<float> mono22k, const std::optional<SourceFormat>& source,
                      const std::string& name, std::optional<double> bpm, std::optional<int> beatsPerBar) {
    constexpr double rate = kRate;
    AnalysisOutcome out;
    const double seconds = static_cast<double>(channels[0].size()) / sampleRate;
    auto tempo = TempoAnalyzer::analyze(mono22k);
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
    // One pass over the file: each block is decoded into the planar
    // channels and folded to mono while it is still in the cache, as
    // Signal::mono would fold the whole file; only the mono is then
    // converted, by Signal::resample itself, so the editor, which runs on
    // the channels it holds, gets the very same signal.
    auto reader = AudioFileReader::open(url);
    const AudioStreamFormat& f = reader->format();
    AnalysisInput in;
    PlanarAudio& audio = in.audio;
    audio.sampleRate = f.sampleRate;
    const int count = std::max(f.channels, 0);
    if (f.frames < 1 || count == 0) {
        audio.channels.assign(size_t(std::max(1, count)), {});
        return in;
    }
    if (f.frames > int64_t(UINT32_MAX)) throw AppError(40, "File too large to load");
    try {
        audio.channels.resize(size_t(count));
        for (auto& c : audio.channels) c.resize(size_t(f.frames));
    } catch (const std::bad_alloc&) {
        throw AppError(40, "File too large to load");
    } catch (const std::length_error&) {
        throw AppError(40, "File too large to load");
    }
    // A single channel is its own mono.
    std::vector<float> mono(count > 1 ? static_cast<size_t>(f.frames) : 0);
    constexpr int64_t kBlock = 16384;
    std::vector<float*> at(static_cast<size_t>(count));
    const float scale = 1.0f / float(count);
    int64_t done = 0;
    while (done < f.frames) {
        for (int c = 0; c < count; ++c) at[size_t(c)] = audio.channels[size_t(c)].data() + done;
        const int64_t got = reader->read(done, at.data(), std::min(kBlock, f.frames - done));
        if (got <= 0) break;
        if (count > 1) {
            const float* const* src = at.data();
            float* m = mono.data() + done;
            std::copy(src[0], src[0] + got, m);
            for (int c = 1; c < count; ++c)
                for (int64_t i = 0; i < got; ++i) m[i] += src[c][i];
            for (int64_t i = 0; i < got; ++i) m[i] *= scale;
        }
        done += got;
    }
    for (auto& c : audio.channels) c.resize(size_t(done));
    if (count > 1) mono.resize(size_t(done));
    audio.damagedFrames = reader->damagedFrames();
    if (!tooShort(audio.channels, audio.sampleRate))
        in.mono22k = count == 1 ? Signal::resample(audio.channels[0], f.sampleRate, kRate)
                                : Signal::resample(mono, f.sampleRate, kRate);
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
