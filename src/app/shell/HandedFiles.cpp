#include "app/shell/HandedFiles.h"

#include "app/shell/AppModel.h"
#include "audio/AudioFileInfo.h"

namespace qm {

std::optional<std::filesystem::path> firstAudioFile(const std::vector<std::filesystem::path>& files) {
    for (const auto& file : files)
        if (AudioFileInfo::isAudioFile(file)) return file;
    return std::nullopt;
}

bool openHandedFiles(AppModel& app, const std::vector<std::filesystem::path>& files) {
    const auto file = firstAudioFile(files);
    if (!file) return false;
    app.openEditor(*file);
    return true;
}

}  // namespace qm
