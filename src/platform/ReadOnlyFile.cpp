#include "platform/ReadOnlyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qm {

ReadOnlyFile::ReadOnlyFile(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
}

ssize_t ReadOnlyFile::readAt(void* buffer, size_t size, uint64_t offset) const {
    if (fd_ < 0) return -1;
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

std::optional<uint64_t> ReadOnlyFile::length() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace qm
