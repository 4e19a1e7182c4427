// Files handed to the application (by the file manager, the desktop file or
// a second launch): the first one with an audio extension, in any case,
// opens in the editor, whose window then comes forward. The others are
// ignored; with none, nothing happens and nothing is activated.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

namespace qm {

class AppModel;

std::optional<std::filesystem::path> firstAudioFile(const std::vector<std::filesystem::path>& files);
// True when a file was opened.
bool openHandedFiles(AppModel& app, const std::vector<std::filesystem::path>& files);

}  // namespace qm
