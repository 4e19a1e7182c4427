#include "audio/WholeWavFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <system_error>

#include <fmt/format.h>

#include "audio/WavFileWriter.h"
#include "platform/AppError.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

bool renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

}  // namespace

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
    static std::atomic<uint64_t> counter{0};
    temp_ = folder / fmt::format(".part-{}-{}", ::getpid(), counter.fetch_add(1));
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
    const std::string stem = dest_.stem().string(), ext = dest_.extension().string();
    for (int n = 1; n < 10000; ++n) {
        const fs::path candidate = n == 1 ? dest_ : dest_.parent_path() / fmt::format("{} {}{}", stem, n, ext);
        if (renameNoReplace(temp_, candidate)) {
            committed_ = true;
            return candidate;
        }
        if (errno != EEXIST)
            throw AppError(WavFileWriter::kWriteFailed, fmt::format("Couldn't name \"{}\": {}",
                                                                    candidate.filename().string(), std::strerror(errno)));
    }
    throw AppError(WavFileWriter::kWriteFailed,
                   fmt::format("Couldn't name \"{}\": too many files of that name", dest_.filename().string()));
}

}  // namespace qm
