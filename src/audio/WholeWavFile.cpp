#include "audio/WholeWavFile.h"

#include <span>
#include <system_error>

#include <fmt/format.h>

#include "audio/WavFileWriter.h"
#include "platform/AppError.h"

namespace qm {

namespace fs = std::filesystem;

WholeWavFile::WholeWavFile(const fs::path& dest, double sampleRate, int channels, uint32_t mask,
                           const std::string& description) {
    const fs::path folder = dest.parent_path();
    std::error_code ec;
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec)
        throw AppError(WavFileWriter::kWriteFailed,
                       fmt::format("Couldn't create the folder \"{}\": {}", folder.string(), ec.message()));
    temp_.emplace(dest);
    writer_ = std::make_unique<WavFileWriter>(temp_->fd(), temp_->displayName(), sampleRate, channels, mask,
                                              description);
}

WholeWavFile::~WholeWavFile() = default;

void WholeWavFile::append(const float* const* channels, int64_t frames) {
    writer_->append(std::span<const float* const>(channels, size_t(writer_->channels())), frames);
}

fs::path WholeWavFile::commit() {
    writer_->finish();
    return temp_->nameWithoutReplacing();
}

}  // namespace qm
