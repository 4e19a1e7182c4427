#include "platform/FileAccess.h"

#include "platform/AppError.h"
#include "platform/Uuid.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include <fmt/format.h>

namespace qm::FileAccess {

namespace fs = std::filesystem;

namespace {

std::mutex checkLock;
std::function<bool(const fs::path&)> checkOverride;

constexpr size_t kUniqueChars = 16;

[[noreturn]] void fail(const fs::path& file, int err) {
    throw AppError(kWriteFailed, fmt::format("Couldn't write \"{}\": {}", file.filename().string(), std::strerror(err)));
}

[[noreturn]] void failNaming(const fs::path& file, const std::string& reason) {
    throw AppError(kWriteFailed, fmt::format("Couldn't name \"{}\": {}", file.filename().string(), reason));
}

fs::path folderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

std::string uniquePart() {
    const Uuid u = Uuid::random();
    std::string s;
    for (size_t i = 0; s.size() < kUniqueChars; ++i) s += fmt::format("{:02x}", u.bytes[i]);
    return s;
}

bool isHex(std::string_view s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// ".<something>.<16 hex digits>.qm-tmp": a name only TemporaryFile makes.
bool isTemporaryName(std::string_view name) {
    const size_t tail = 1 + kUniqueChars + kTemporarySuffix.size();
    if (name.size() < 2 + tail || name.front() != '.') return false;
    if (name.substr(name.size() - kTemporarySuffix.size()) != kTemporarySuffix) return false;
    const std::string_view unique = name.substr(name.size() - kTemporarySuffix.size() - kUniqueChars, kUniqueChars);
    return name[name.size() - tail] == '.' && isHex(unique);
}

// A live writer holds its temporary locked from before its first byte
// until it is renamed or removed. Only after taking the lock is the name
// checked to still be that file, so a temporary that took its final name
// meanwhile is never removed.
void removeIfStale(int dirFd, const char* name, bool checkAge) {
    if (!isTemporaryName(name)) return;
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return;
    if (checkAge && ::time(nullptr) - st.st_mtime < kStaleAfter.count()) return;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat held {}, named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
        ::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
        ::unlinkat(dirFd, name, 0);
    ::close(fd);
}

// "<stem> n<ext>" (n = 1: the name itself), the stem shortened to fit.
fs::path candidate(const fs::path& target, int n, size_t limit) {
    const std::string ext = target.extension().string();
    const std::string tail = (n == 1 ? "" : " " + std::to_string(n)) + ext;
    const std::string stem = target.stem().string();
    const std::string name = tail.size() < limit ? cutName(stem, limit - tail.size()) + tail : stem + tail;
    return target.parent_path() / name;
}

}  // namespace

bool onNetworkFileSystem(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case 0xFF534D42ul:  // CIFS
        case 0xFE534D42ul:  // SMB2
        case 0x65735546ul:  // FUSE
        case CEPH_SUPER_MAGIC:
        case AFS_SUPER_MAGIC:
        case V9FS_MAGIC:
        case CODA_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

void removeStaleTemporaries(const fs::path& folder) {
    const int dirFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    // Locks on a network file system may be kept to one client (or to the
    // process serving a FUSE one): there a temporary must also have been
    // left alone for kStaleAfter before it counts as a dead writer's.
    const bool checkAge = onNetworkFileSystem(dirFd);
    while (const dirent* entry = ::readdir(dir)) removeIfStale(dirFd, entry->d_name, checkAge);
}

void removeIfStaleTemporary(int dirFd, const char* name) {
    if (isTemporaryName(name)) removeIfStale(dirFd, name, onNetworkFileSystem(dirFd));
}

bool renameNoReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

std::optional<fs::path> setAside(const fs::path& file, std::string_view word, Aside how) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const std::string base = fmt::format("{}.{}-{:04d}-{:02d}-{:02d}", file.filename().string(), word,
                                         local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    for (int n = 1; n < 1000; ++n) {
        const fs::path name = file.parent_path() / (n > 1 ? fmt::format("{}-{}", base, n) : base);
        bool done = false;
        if (how == Aside::move) {
            done = renameNoReplace(file, name);
        } else {
            done = ::link(file.c_str(), name.c_str()) == 0;
            if (!done && (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK)) {
                std::error_code ec;
                done = fs::copy_file(file, name, fs::copy_options::none, ec);
                if (ec) errno = ec == std::errc::file_exists ? EEXIST : ec.value();
            }
        }
        if (done) return name;
        if (errno != EEXIST) return std::nullopt;
    }
    errno = EEXIST;
    return std::nullopt;
}

bool isWritable(const fs::path& folder) {
    {
        std::lock_guard lock(checkLock);
        if (checkOverride) return checkOverride(folder);
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return false;
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

void setWritableCheck(std::function<bool(const fs::path&)> check) {
    std::lock_guard lock(checkLock);
    checkOverride = std::move(check);
}

fs::path resolveLink(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return path;
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return path;
    return resolved;
}

size_t nameMax(const fs::path& folder) {
    const long n = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return n > 0 ? static_cast<size_t>(n) : 255;
}

std::string cutName(const std::string& name, size_t bytes) {
    if (name.size() <= bytes) return name;
    size_t keep = bytes;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return name.substr(0, keep);
}

bool writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

TemporaryFile::TemporaryFile(const fs::path& target) : target_(target) {
    const fs::path folder = folderOf(target);
    removeStaleTemporaries(folder);
    // Readable by no one the file it replaces keeps out: its permission
    // bits from the start (the umask may take more away), and its group
    // where the process may set it, else no group bits at all.
    struct stat old {};
    const bool replacing = ::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const mode_t mode = replacing ? (old.st_mode & 0777) : 0666;
    const size_t limit = nameMax(folder);
    const size_t room = limit > 2 + kUniqueChars + kTemporarySuffix.size() + 1
                            ? limit - 2 - kUniqueChars - kTemporarySuffix.size()
                            : 1;
    const std::string stem = "." + cutName(target.filename().string(), room) + ".";
    // A name taken by chance (or planted) is passed over, never opened.
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        path_ = target.parent_path() / (stem + uniquePart() + std::string(kTemporarySuffix));
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd_ < 0) {
            if (errno != EEXIST) fail(target_, errno);
            continue;
        }
        // Held until the file is named or removed: a live writer's temporary
        // is never taken for a dead one's. Another writer clearing the folder
        // may have taken the file for a dead one's just before the lock:
        // then the name is gone, and another is made.
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat held {}, named {};
        if (::fstat(fd_, &held) != 0 ||
            ::lstat(path_.c_str(), &named) != 0 || held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
            ::close(fd_);
            fd_ = -1;
            continue;
        }
        if (replacing && held.st_gid != old.st_gid && ::fchown(fd_, static_cast<uid_t>(-1), old.st_gid) != 0)
            ::fchmod(fd_, mode & 0707);
    }
    if (fd_ < 0) fail(target_, EEXIST);
}

TemporaryFile::~TemporaryFile() {
    if (!named_) ::unlink(path_.c_str());
    if (fd_ >= 0) ::close(fd_);
}

// The bytes reach the disk before the file takes its name: after a crash or
// power loss the name holds either the old file or the whole new one.
void TemporaryFile::sync() {
    if (::fsync(fd_) != 0) fail(target_, errno);
}

// The rename itself reaches the disk only with the folder.
void TemporaryFile::syncFolder() {
    const int dirFd = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) fail(target_, errno);
    const int err = ::fsync(dirFd) == 0 ? 0 : errno;
    ::close(dirFd);
    // Some file systems cannot sync a folder; theirs is done with the rename.
    if (err && err != EINVAL && err != EOPNOTSUPP) fail(target_, err);
}

void TemporaryFile::replaceTarget() {
    sync();
    struct stat st {};
    if (::lstat(target_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        // chown clears the set-id bits, so the mode goes on after it; those
        // bits are only kept on a file whose owner carried over.
        bool owner = ::fchown(fd_, st.st_uid, st.st_gid) == 0;
        if (!owner) ::fchown(fd_, static_cast<uid_t>(-1), st.st_gid);
        const mode_t mode = st.st_mode & (owner ? 07777 : 0777);
        if (::fchmod(fd_, mode) != 0) fail(target_, errno);
    }
    if (::rename(path_.c_str(), target_.c_str()) != 0) fail(target_, errno);
    named_ = true;
    syncFolder();
}

fs::path TemporaryFile::nameWithoutReplacing() {
    sync();
    const size_t limit = nameMax(folderOf(target_));
    for (int n = 1; n < 10000; ++n) {
        const fs::path name = candidate(target_, n, limit);
        if (renameNoReplace(path_, name)) {
            named_ = true;
            syncFolder();
            return name;
        }
        if (errno != EEXIST) failNaming(name, std::strerror(errno));
    }
    failNaming(target_, "too many files of that name");
}

void writeThroughTemporary(const fs::path& target, const std::function<void(TemporaryFile&)>& write,
                           AtLink links) {
    TemporaryFile file(links == AtLink::follow ? resolveLink(target) : target);
    write(file);
    file.replaceTarget();
}

void writeText(const fs::path& target, std::string_view bytes) {
    writeThroughTemporary(target, [&](TemporaryFile& file) {
        if (!writeAll(file.fd(), bytes.data(), bytes.size())) fail(target, errno);
    });
}

}  // namespace qm::FileAccess
