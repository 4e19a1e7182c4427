#include "platform/AudioFileReader.h"

#include <algorithm>
#include <system_error>

#include <fmt/format.h>

#include "platform/AppError.h"
#include "platform/FfmpegReader.h"
#include "platform/SampleRate.h"
#include "platform/SndfileReader.h"

namespace qm {

int64_t AudioFileReader::framesInFile(int64_t position, int64_t frames) const {
    if (position < 0 || frames < 0)
        throw AppError(kAudioFileReadFailed, "Cannot read audio before the start of a file.");
    return std::max<int64_t>(0, std::min(frames, format().frames - position));
}

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

    // libsndfile first: it reads PCM containers exactly and cheaply. FFmpeg
    // for the rest (M4A/MP4/AAC, ALAC, ...).
    // A file one library opens at a rate no audio file has is refused, not
    // handed to the next library.
    auto checked = [&](std::unique_ptr<AudioFileReader> reader) {
        const double rate = reader->format().sampleRate;
        if (!sampleRate::plausible(rate))
            throw AppError(kAudioFileUnreadable,
                           fmt::format("The file \"{}\" states a sample rate of {} Hz, which no audio file has "
                                       "(from {} to {} Hz can be read).",
                                       name, rate, sampleRate::kLowest, sampleRate::kHighest));
        return reader;
    };
    std::string sndfileWhy, ffmpegWhy;
    if (auto reader = sndfile::open(path, &sndfileWhy)) return checked(std::move(reader));
    if (auto reader = ffmpeg::open(path, &ffmpegWhy)) return checked(std::move(reader));
    throw AppError(kAudioFileUnreadable, "The file \"" + name +
                                             "\" is not an audio file that can be read (" +
                                             sndfileWhy + "; " + ffmpegWhy + ").");
}

}  // namespace qm
