#include "platform/AudioFileReader.h"

#include <system_error>

#include "platform/AppError.h"
#include "platform/SndfileReader.h"

namespace qm {

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status))
        throw AppError(kAudioFileNotFound, "The file \"" + name + "\" does not exist.");
    if (!std::filesystem::is_regular_file(status))
        throw AppError(kAudioFileUnreadable, "\"" + name + "\" is not a file.");
    if (std::filesystem::file_size(path, ec) == 0 || ec)
        throw AppError(kAudioFileUnreadable, "The file \"" + name + "\" is empty.");

    std::string why;
    if (auto reader = sndfile::open(path, &why)) return reader;
    throw AppError(kAudioFileUnreadable,
                   "The file \"" + name + "\" is not an audio file that can be read (" + why + ").");
}

}  // namespace qm
