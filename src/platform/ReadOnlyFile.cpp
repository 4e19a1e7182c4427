#include "platform/ReadOnlyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qm {

ReadOnlyFile::ReadOnlyFile(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}

ReadOnlyFile::ReadOnlyFile(const std::filesystem::path& path, size_t headBytes) : ReadOnlyFile(path) {
    if (fd_ < 0) return;
    length_ = length();
    std::string head(headBytes, '\0');
    const ssize_t got = readAt(head.data(), head.size(), 0);
    if (got > 0) {
        head.resize(static_cast<size_t>(got));
        head_ = std::move(head);
    }
}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
}

ssize_t ReadOnlyFile::readAt(void* buffer, size_t size, uint64_t offset) const {
    if (fd_ < 0) return -1;
    auto* out = static_cast<char*>(buffer);
    if (offset <= head_.size() && size <= head_.size() - offset) {
        std::memcpy(out, head_.data() + offset, size);
        return static_cast<ssize_t>(size);
    }
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
    if (length_) return length_;
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace qm
