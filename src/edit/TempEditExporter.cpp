#include "edit/TempEditExporter.h"

#include <fmt/format.h>

#include <fstream>
#include <system_error>

#include "audio/WavFileWriter.h"
#include "edit/TempEditRenderer.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"

namespace qm::TempEditExporter {

uint32_t mask(int channels) {
    if (channels == 2) return 3;
    if (channels == 1) return 4;
    return 0;
}

std::vector<std::string> noteLines(const std::string& fileName, double seconds, const EditPlan& plan) {
    const std::string match =
        plan.quality < 0.999 ? fmt::format("  \u00b7 splice match {:.0f}%", plan.quality * 100) : "";
    return {fmt::format("{}  {}  ({:.2f} s){}", fileName, "", seconds, match), "    " + plan.map};
}

std::string notesName(const std::string& base) { return base + " - Edit Notes.txt"; }

namespace {

// Whether `folder` may hold the edits of `source`: nothing there, or our
// notes in it naming that source.
bool usableFor(const std::filesystem::path& folder, const std::filesystem::path& source, const std::string& base) {
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(folder, ec);
    if (status.type() == std::filesystem::file_type::not_found) return true;
    if (status.type() != std::filesystem::file_type::directory) return false;
    std::ifstream notes(folder / notesName(base));
    if (!notes) return false;
    const std::string wanted = "Source: " + source.string();
    std::string line;
    // The line sits near the top; a few lines are enough.
    for (int i = 0; i < 8 && std::getline(notes, line); ++i)
        if (line == wanted) return true;
    return false;
}

}  // namespace

std::filesystem::path ownFolder(const std::filesystem::path& folder, const std::filesystem::path& source,
                                const std::string& base, const std::set<std::filesystem::path>& taken) {
    if (!taken.contains(folder) && usableFor(folder, source, base)) return folder;
    const auto parent = folder.parent_path();
    const std::string name = folder.filename().string();
    for (int n = 2;; ++n) {
        auto candidate = parent / (name + " " + std::to_string(n));
        if (!taken.contains(candidate) && usableFor(candidate, source, base)) return candidate;
    }
}

Result write(const Job& job, const EditOps::Channels& channels) {
    std::error_code ec;
    std::filesystem::create_directories(job.folder, ec);
    if (ec || !std::filesystem::is_directory(job.folder))
        throw AppError(FileAccess::kWriteFailed,
                       "Couldn't create the folder " + job.folder.filename().string() + ": " +
                           (ec ? ec.message() : std::string("not a folder")));

    Result result;
    result.folder = job.folder;
    std::vector<std::string> lines = job.header;
    lines.emplace_back();
    for (const auto& plan : job.plans) {
        const std::string fileName = job.base + " - " + plan.name + ".wav";
        const auto url = job.folder / fileName;
        int64_t frames = 0;
        {
            const auto rendered = TempEditRenderer::render(plan, channels, job.sampleRate, job.options);
            frames = rendered.empty() ? 0 : static_cast<int64_t>(rendered[0].size());
            FileAccess::writeThroughTemporary(url, [&](FileAccess::TemporaryFile& file) {
                WavFileWriter writer(file.fd(), file.displayName(), job.sampleRate,
                                     static_cast<int>(rendered.size()), job.mask,
                                     "Quillmarsh temp edit: " + job.base + " " + plan.name + ". " + plan.map);
                writer.appendAll(rendered);
                writer.finish();
            });
        }
        result.files.push_back(url);
        for (auto& line : noteLines(fileName, static_cast<double>(frames) / job.sampleRate, plan))
            lines.push_back(std::move(line));
    }

    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) text += '\n';
        text += lines[i];
    }
    result.notes = job.folder / notesName(job.base);
    FileAccess::writeText(result.notes, text);
    return result;
}

}  // namespace qm::TempEditExporter
