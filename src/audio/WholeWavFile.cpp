#include "audio/WholeWavFile.h"

#include <span>
#include <system_error>

#include <fmt/format.h>

#include "audio/WavFileWriter.h"
#include "platform/AppError.h"
#include "platform/FileAccess.h"

namespace qm {

namespace fs = std::filesystem;

// The writer names the file it writes in its errors; the user knows the file
// by its final name.
template <class F>
void WholeWavFile::guarded(F&& f) {
    try {
        f();
    } catch (const AppError& e) {
        std::string text = e.what();
        const std::string tempName = temp_.filename().string();
        if (auto at = text.find(tempName); at != std::string::npos)
            text.replace(at, tempName.size(), dest_.filename().string());
        throw AppError(e.code(), text);
    }
}

WholeWavFile::WholeWavFile(const fs::path& dest, double sampleRate, int channels, uint32_t mask,
                           const std::string& description)
    : dest_(dest) {
    const fs::path folder = dest.parent_path();
    std::error_code ec;
    if (!folder.empty()) fs::create_directories(folder, ec);
    if (ec)
        throw AppError(WavFileWriter::kWriteFailed,
                       fmt::format("Couldn't create the folder \"{}\": {}", folder.string(), ec.message()));
    temp_ = FileAccess::temporaryBeside(dest);
    try {
        guarded([&] { writer_ = std::make_unique<WavFileWriter>(temp_, sampleRate, channels, mask, description); });
    } catch (...) {
        // No destructor runs for a constructor that throws: a header that
        // could not be written in full is removed here.
        fs::remove(temp_, ec);
        throw;
    }
}

WholeWavFile::~WholeWavFile() {
    writer_.reset();
    if (!committed_) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void WholeWavFile::append(const float* const* channels, int64_t frames) {
    guarded([&] { writer_->append(std::span<const float* const>(channels, size_t(writer_->channels())), frames); });
}

fs::path WholeWavFile::commit() {
    guarded([&] { writer_->finish(); });
    fs::path named = FileAccess::nameWithoutReplacing(temp_, dest_);
    committed_ = true;
    return named;
}

}  // namespace qm
