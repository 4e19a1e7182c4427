#include "platform/FileAccess.h"

#include "platform/AppError.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace qm::FileAccess {

namespace {

std::mutex checkLock;
std::function<bool(const std::filesystem::path&)> checkOverride;

[[noreturn]] void fail(const std::filesystem::path& file, int err) {
    throw AppError(kWriteFailed, "Couldn't write " + file.filename().string() + ": " + std::strerror(err));
}

[[noreturn]] void failNaming(const std::filesystem::path& file, const std::string& reason) {
    throw AppError(kWriteFailed, "Couldn't name \"" + file.filename().string() + "\": " + reason);
}

// rename(2) that fails with EEXIST instead of replacing.
bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

// Puts a complete temporary file's bytes on disk before it takes its final
// name: after a crash or power loss the name then holds either the old file
// or the whole new one, never an empty or partial one.
void syncToDisk(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(target, errno);
    const int synced = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (synced) fail(target, synced);
}

}  // namespace

std::filesystem::path temporaryBeside(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    return target.parent_path() / ("." + target.filename().string() + "." + std::to_string(::getpid()) +
                                   "-" + std::to_string(counter.fetch_add(1)) + ".tmp");
}

std::filesystem::path nameWithoutReplacing(const std::filesystem::path& temporary,
                                           const std::filesystem::path& target) {
    syncToDisk(temporary, target);
    const std::string stem = target.stem().string(), ext = target.extension().string();
    for (int n = 1; n < 10000; ++n) {
        const auto candidate =
            n == 1 ? target : target.parent_path() / (stem + " " + std::to_string(n) + ext);
        if (renameNoReplace(temporary, candidate)) return candidate;
        if (errno != EEXIST) failNaming(candidate, std::strerror(errno));
    }
    failNaming(target, "too many files of that name");
}

bool isWritable(const std::filesystem::path& folder) {
    {
        std::lock_guard lock(checkLock);
        if (checkOverride) return checkOverride(folder);
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) return false;
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

void setWritableCheck(std::function<bool(const std::filesystem::path&)> check) {
    std::lock_guard lock(checkLock);
    checkOverride = std::move(check);
}

void writeThroughTemporary(const std::filesystem::path& target,
                           const std::function<void(const std::filesystem::path& temporary)>& write) {
    const auto temporary = temporaryBeside(target);
    try {
        write(temporary);
        syncToDisk(temporary, target);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int err = errno;
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        fail(target, err);
    }
}

void writeText(const std::filesystem::path& target, std::string_view bytes) {
    writeThroughTemporary(target, [&](const std::filesystem::path& temporary) {
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) fail(target, errno);
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                const int err = errno;
                ::close(fd);
                fail(target, err);
            }
            done += static_cast<size_t>(n);
        }
        if (::close(fd) != 0) fail(target, errno);
    });
}

}  // namespace qm::FileAccess
