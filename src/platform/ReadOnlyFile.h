// A file opened for reading by position (pread): no shared file position,
// so readers of small parts of a file (chunk headers, a bext field) never
// step on each other and need no seek. Opening never blocks: a FIFO or a
// device under an audio file's name opens and then reads nothing.
//
// A file opened with its head (its first bytes, read at once) serves the
// reads that fall inside it from memory: a walk over the chunk headers of a
// small audio file then costs one read in all.
//
// One object belongs to one thread at a time; the file closes with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qm {

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::filesystem::path& path);
    // Opens the file and reads its first `headBytes` bytes (fewer when it is
    // shorter) and its length at once.
    ReadOnlyFile(const std::filesystem::path& path, size_t headBytes);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // False when the file could not be opened.
    explicit operator bool() const { return fd_ >= 0; }

    // Reads `size` bytes at `offset`; fewer only where the file ends. -1 on
    // a read error.
    ssize_t readAt(void* buffer, size_t size, uint64_t offset) const;
    // The file's length, or nothing when it cannot be had.
    std::optional<uint64_t> length() const;
    // The open descriptor (-1 when the open failed), for copies between files.
    int descriptor() const { return fd_; }

private:
    int fd_;
    std::string head_;
    std::optional<uint64_t> length_;  // known when the head was read
};

}  // namespace qm
