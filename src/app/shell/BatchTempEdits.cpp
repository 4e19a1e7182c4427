#include "app/shell/BatchTempEdits.h"

#include <fmt/format.h>

#include <algorithm>
#include <new>
#include <set>

#include "analysis/MusicAnalysis.h"
#include "analysis/Signal.h"
#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "audio/AudioFileInfo.h"
#include "edit/TempEditExporter.h"
#include "edit/TempEditPlanner.h"
#include "platform/AppError.h"

namespace qm::BatchTempEdits {

namespace fs = std::filesystem;

namespace {

std::string lowercase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string describe(const std::exception& e) {
    if (auto* app = dynamic_cast<const AppError*>(&e)) return app->description();
    return e.what();
}

enum class FileResult { written, tooShort, noPulse };

// One source from file to folder; throws what stops it.
FileResult makeOne(const Source& source, uint64_t loadLimitBytes, fs::path& written) {
    const AudioFileInfo info = AudioFileInfo::load(source.url);
    const double bytes =
        static_cast<double>(std::max<int64_t>(info.frames, 0)) * std::max(info.channels, 1) * sizeof(float);
    if (bytes > static_cast<double>(loadLimitBytes)) throw AppError(0, kTooLarge);

    AnalysisInput input = AnalysisPipeline::read(source.url, info.detected, true);
    const PlanarAudio audio = std::move(input.audio);  // the edits are cut from the channels
    const std::string name = source.url.filename().string();
    const AnalysisOutcome outcome = AnalysisPipeline::run(std::move(input), name);
    if (!outcome.analysis)
        return outcome.skipped == AnalysisSkip::tooShort ? FileResult::tooShort : FileResult::noPulse;
    const MusicAnalysis& analysis = *outcome.analysis;
    const auto frames = static_cast<int64_t>(audio.channels[0].size());

    TempEditExporter::Job job;
    job.base = source.url.stem().string();
    job.options = options();
    job.plans = TempEditPlanner::plans(analysis.grid, analysis.structure, audio.sampleRate, frames, job.options);
    job.sampleRate = audio.sampleRate;
    job.header = EditorModel::notesHeader(job.base, source.url, analysis, analysis.structure.pins);
    job.mask = TempEditExporter::mask(static_cast<int>(audio.channels.size()));
    job.folder = source.folder;
    written = TempEditExporter::write(job, audio.channels).folder;
    return FileResult::written;
}

}  // namespace

TempEditOptions options() {
    TempEditOptions o;
    o.targets = {15, 30, 60, 120};
    o.extended = 180;
    o.exactLength = true;
    o.crossfadeMs = 30;
    return o;
}

std::vector<Source> prepare(const std::vector<fs::path>& urls, const SettingsStore& settings) {
    const auto& extensions = AudioFileInfo::audioExtensions();
    std::vector<Source> sources;
    std::set<fs::path> taken;
    for (const auto& url : urls) {
        std::string ext = url.extension().string();
        if (!ext.empty()) ext.erase(0, 1);
        if (!extensions.contains(lowercase(ext))) continue;
        const auto folder =
            TempEditExporter::ownFolder(EditorModel::editsFolder(url, settings), url, url.stem().string(), taken);
        taken.insert(folder);
        sources.push_back({url, folder});
    }
    return sources;
}

std::string startText(size_t files) { return fmt::format("Temp edits: analyzing {} file(s)\u2026", files); }

std::string progressText(size_t index, size_t count, const fs::path& url) {
    return fmt::format("Temp edits {}/{}: {}", index + 1, count, url.filename().string());
}

std::string finalText(const Outcome& o) {
    const auto written = static_cast<int64_t>(o.written.size());
    std::string text;
    if (o.skipped > 0)
        text = fmt::format("Temp edits: {} written, {} skipped (no steady pulse)", written, o.skipped);
    else if (o.failed > 0)
        text = fmt::format("Temp edits: {} written", written);
    else
        return fmt::format("Temp edits written for {} file(s)", written);
    if (o.failed > 0) text += fmt::format(", {} failed: {}", o.failed, o.firstFailure);
    return text;
}

Outcome run(const std::vector<Source>& sources, uint64_t loadLimitBytes,
            const std::function<void(const std::string&)>& progress) {
    Outcome outcome;
    for (size_t i = 0; i < sources.size(); ++i) {
        if (progress) progress(progressText(i, sources.size(), sources[i].url));
        std::string failure;
        try {
            fs::path folder;
            switch (makeOne(sources[i], loadLimitBytes, folder)) {
            case FileResult::written: outcome.written.push_back(folder); break;
            case FileResult::tooShort: ++outcome.tooShort; [[fallthrough]];
            case FileResult::noPulse: ++outcome.skipped; break;
            }
            continue;
        } catch (const std::bad_alloc&) {
            failure = kTooLarge;
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        if (outcome.failed++ == 0)
            outcome.firstFailure = failure.empty() ? sources[i].url.filename().string() + " could not be read" : failure;
    }
    return outcome;
}

}  // namespace qm::BatchTempEdits
